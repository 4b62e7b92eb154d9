#include "compile/synctex.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "common/gzip.h"

namespace vellora {
namespace {

// What pdfLaTeX wrote (in /tmp/st) for this two-page document:
//   \documentclass{article}
//   \begin{document}
//   First paragraph line.
//
//   Second paragraph here.
//   \newpage
//   Third on page two.
//   \end{document}
const char* SYNCTEX = R"SYNCTEX(SyncTeX Version:1
Input:1:/tmp/st/./main.tex
Input:2:/usr/share/texlive/texmf-dist/tex/latex/base/article.cls
Input:3:/usr/share/texlive/texmf-dist/tex/latex/base/size10.clo
Input:4:/usr/share/texlive/texmf-dist/tex/latex/l3backend/l3backend-pdftex.def
Output:pdf
Magnification:1000
Unit:1
X Offset:0
Y Offset:0
Content:
!321
{1
[1,6:4736286,46220574:26673152,41484288,0
[1,6:8799518,46220574:22609920,40435712,0
[1,6:8799518,6571294:22609920,786432,0
(1,6:8799518,6571294:22609920,0,0
h1,6:8799518,6571294:22609920,0,0
)
]
[1,6:8799518,44254494:22609920,36044800,0
(1,4:8799518,8865054:22609920,455111,127431
h1,3:8799518,8865054:983040,0,0
x1,3:11162458,8865054
g1,3:11380911,8865054
x1,3:14297271,8865054
g1,3:14515724,8865054
x1,3:15717220,8865054
k1,4:31409438,8865054:15692218
g1,4:31409438,8865054
)
(1,6:8799518,9651486:22609920,455111,127431
h1,5:8799518,9651486:983040,0,0
x1,5:11785051,9651486
g1,5:12003504,9651486
x1,5:14919864,9651486
g1,5:15138317,9651486
x1,5:16523677,9651486
k1,6:31409438,9651486:14885761
g1,6:31409438,9651486
)
]
(1,6:8799518,46220574:22609920,422343,0
(1,6:8799518,46220574:22609920,422343,0
k1,6:19940638,46220574:11141120
x1,6:20268319,46220574
k1,6:31409438,46220574:11141119
)
)
]
]
!904
}1
!8
{2
[1,8:4736286,46220574:26673152,41484288,0
[1,8:8799518,46220574:22609920,40435712,0
[1,8:8799518,6571294:22609920,786432,0
(1,8:8799518,6571294:22609920,0,0
h1,8:8799518,6571294:22609920,0,0
)
]
[1,8:8799518,44254494:22609920,36044800,0
(1,8:8799518,8865054:22609920,455111,127431
h1,7:8799518,8865054:983040,0,0
x1,7:11422782,8865054
g1,7:11641235,8865054
x1,7:12333006,8865054
g1,7:12551459,8865054
x1,7:13862182,8865054
g1,7:14080635,8865054
x1,7:14335498,8865054
x1,7:14790609,8865054
x1,7:15282130,8865054
k1,8:31409438,8865054:16127308
g1,8:31409438,8865054
)
]
(1,8:8799518,46220574:22609920,422343,0
(1,8:8799518,46220574:22609920,422343,0
k1,8:19940638,46220574:11141120
x1,8:20268319,46220574
k1,8:31409438,46220574:11141119
)
)
]
]
!749
}2
Input:5:/tmp/st/./main.aux
!35
Postamble:
Count:65
!24
Post scriptum:
)SYNCTEX";

const ProjectPaths PROJECT("/tmp/st", "", {"main.tex"});

// Queries on a text held in memory.
struct Synctex {
  std::string text;
  std::expected<PdfBox, std::string> forward(std::string_view file, long line) const {
    return synctex_forward(synctex_text_lines(text), PROJECT, file, line);
  }
  std::expected<SourcePlace, std::string> reverse(int page, double x, double y) const {
    return synctex_reverse(synctex_text_lines(text), PROJECT, page, x, y);
  }
};

TEST(Synctex, ForwardGivesTheLinesBoxLikeTheSynctexProgram) {
  const Synctex synctex{SYNCTEX};
  const Synctex* index = &synctex;
  // `synctex view -i 5:1:main.tex` says: page 1, h 133.768356, v 148.656967, W 343.711060,
  // H 8.855677 (v is the bottom of the box).
  const auto box = index->forward("main.tex", 5);
  ASSERT_TRUE(box) << box.error();
  EXPECT_EQ(box->page, 1);
  EXPECT_NEAR(box->x, 133.768356, 1e-3);
  EXPECT_NEAR(box->y, 148.656967 - 8.855677, 1e-3);
  EXPECT_NEAR(box->width, 343.711060, 1e-3);
  EXPECT_NEAR(box->height, 8.855677, 1e-3);
  const auto second_page = index->forward("main.tex", 7);
  ASSERT_TRUE(second_page);
  EXPECT_EQ(second_page->page, 2);
  EXPECT_NEAR(second_page->y + second_page->height, 136.701797, 1e-3);
  // A line past all material goes to the nearest one before it.
  EXPECT_EQ(index->forward("main.tex", 100)->page, 2);
  EXPECT_FALSE(index->forward("other.tex", 1));
}

TEST(Synctex, ReverseFindsTheLineAndRoundTrips) {
  const Synctex synctex{SYNCTEX};
  const Synctex* index = &synctex;
  // `synctex edit -o 1:150:140:main.pdf` says: main.tex line 5.
  const auto place = index->reverse(1, 150, 140);
  ASSERT_TRUE(place) << place.error();
  EXPECT_EQ(place->file, "main.tex");
  EXPECT_EQ(place->line, 5);
  EXPECT_EQ(place->column, std::nullopt);
  for (const long line : {3L, 5L, 7L}) {
    const auto box = index->forward("main.tex", line);
    ASSERT_TRUE(box);
    const auto back = index->reverse(box->page, box->x + 20, box->y + box->height / 2);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->line, line);
  }
  EXPECT_EQ(index->reverse(3, 10, 10).error(), "the document has no page 3");
}

TEST(Synctex, DamagedOrOversizedFilesAreErrors) {
  EXPECT_EQ(Synctex{"SyncTeX Version:1\nInput:1:x"}.forward("main.tex", 1).error(),
            "the SyncTeX file is damaged");
  // Numbers no page can hold give an error, never an infinite coordinate.
  std::string huge = SYNCTEX;
  huge.replace(huge.find("Unit:1"), 6, "Unit:1e308");
  EXPECT_EQ(Synctex{huge}.forward("main.tex", 5).error(), "the SyncTeX file is damaged");
  std::string infinite = SYNCTEX;
  infinite.replace(infinite.find("Unit:1"), 6, "Unit:inf");
  EXPECT_EQ(Synctex{infinite}.reverse(1, 150, 140).error(), "the SyncTeX file is damaged");
  const std::string deep =
      std::string(SYNCTEX).substr(0, std::string(SYNCTEX).find("{1")) + "{1\n" + [] {
        std::string boxes;
        for (int i = 0; i < 20000; ++i) boxes += "(1,6:1,1:1,1,0\n";
        return boxes;
      }();
  EXPECT_EQ(Synctex{deep}.reverse(1, 1, 1).error(), "the SyncTeX file is damaged");
  const std::string text = SYNCTEX;
  std::string packed(compressBound(text.size()) + 64, '\0');
  z_stream stream{};
  ASSERT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(packed.data());
  stream.avail_out = static_cast<uInt>(packed.size());
  ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  EXPECT_EQ(gunzip(packed, 1 << 20), text);
  EXPECT_EQ(gunzip(packed.substr(0, packed.size() / 2), 1 << 20).error(),
            "damaged compressed data");
  EXPECT_FALSE(gunzip(packed, 100));
  EXPECT_FALSE(gunzip("not gzip", 1 << 20));
}

}  // namespace
}  // namespace vellora
