// Logs of real runs of the four engines on one document: an undefined reference and citation,
// an overfull box in main.tex, and an undefined control sequence on line 2 of chap/intro.tex
// (for ConTeXt: the overfull box and the error).

#pragma once

namespace vellora::test {

inline constexpr const char* PDFLATEX_LOG = R"LOG(This is pdfTeX, Version 3.141592653-2.6-1.40.24 (TeX Live 2022/Debian) (preloaded format=pdflatex 2026.12.10)  10 DEC 2026 16:13
entering extended mode
 restricted \write18 enabled.
 file:line:error style messages enabled.
 %&-line parsing enabled.
**main.tex
(./main.tex
LaTeX2e <2022-11-01> patch level 1
L3 programming layer <2023-01-16> (/usr/share/texlive/texmf-dist/tex/latex/base/article.cls
Document Class: article 2022/07/02 v1.4n Standard LaTeX document class
(/usr/share/texlive/texmf-dist/tex/latex/base/size10.clo
File: size10.clo 2022/07/02 v1.4n Standard LaTeX file (size option)
)
\c@part=\count185
\c@section=\count186
\c@subsection=\count187
\c@subsubsection=\count188
\c@paragraph=\count189
\c@subparagraph=\count190
\c@figure=\count191
\c@table=\count192
\abovecaptionskip=\skip48
\belowcaptionskip=\skip49
\bibindent=\dimen140
) (/usr/share/texlive/texmf-dist/tex/latex/l3backend/l3backend-pdftex.def
File: l3backend-pdftex.def 2023-01-16 L3 backend support: PDF output (pdfTeX)
\l__color_backend_stack_int=\count193
\l__pdf_internal_box=\box51
) (out-pdf/main.aux)
\openout1 = `main.aux'.

LaTeX Font Info:    Checking defaults for OML/cmm/m/it on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OMS/cmsy/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OT1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for T1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for TS1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OMX/cmex/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for U/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.


LaTeX Warning: Reference `nowhere' on page 1 undefined on input line 3.


LaTeX Warning: Citation `nobody' on page 1 undefined on input line 3.


Overfull \hbox (134.11134pt too wide) detected at line 5
\OT1/cmr/m/n/10 This line is far too wide for its box
 []

(./chap/intro.tex
./chap/intro.tex:2: Undefined control sequence.
l.2 \undefinedmacro
                    
Here is how much of TeX's memory you used:
 431 strings out of 478051
 8237 string characters out of 5840942
 1849330 words of memory out of 5000000
 20641 multiletter control sequences out of 15000+600000
 512595 words of font info for 33 fonts, out of 8000000 for 9000
 14 hyphenation exceptions out of 8191
 34i,1n,38p,139b,72s stack positions out of 10000i,1000n,20000p,200000b,200000s

./chap/intro.tex:2:  ==> Fatal error occurred, no output PDF file produced!
)LOG";

inline constexpr const char* XELATEX_LOG = R"LOG(This is XeTeX, Version 3.141592653-2.6-0.999994 (TeX Live 2022/Debian) (preloaded format=xelatex 2026.12.10)  10 DEC 2026 16:13
entering extended mode
 restricted \write18 enabled.
 file:line:error style messages enabled.
 %&-line parsing enabled.
**main.tex
(./main.tex
LaTeX2e <2022-11-01> patch level 1
L3 programming layer <2023-01-16> (/usr/share/texlive/texmf-dist/tex/latex/base/article.cls
Document Class: article 2022/07/02 v1.4n Standard LaTeX document class
(/usr/share/texlive/texmf-dist/tex/latex/base/size10.clo
File: size10.clo 2022/07/02 v1.4n Standard LaTeX file (size option)
)
\c@part=\count181
\c@section=\count182
\c@subsection=\count183
\c@subsubsection=\count184
\c@paragraph=\count185
\c@subparagraph=\count186
\c@figure=\count187
\c@table=\count188
\abovecaptionskip=\skip48
\belowcaptionskip=\skip49
\bibindent=\dimen140
) (/usr/share/texlive/texmf-dist/tex/latex/l3backend/l3backend-xetex.def
File: l3backend-xetex.def 2023-01-16 L3 backend support: XeTeX
\g__graphics_track_int=\count189
\l__pdf_internal_box=\box51
\g__pdf_backend_object_int=\count190
\g__pdf_backend_annotation_int=\count191
\g__pdf_backend_link_int=\count192
) (out-xelatex/main.aux)
\openout1 = `main.aux'.

LaTeX Font Info:    Checking defaults for OML/cmm/m/it on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OMS/cmsy/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OT1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for T1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for TS1/cmr/m/n on input line 2.
LaTeX Font Info:    Trying to load font information for TS1+cmr on input line 2.
 (/usr/share/texlive/texmf-dist/tex/latex/base/ts1cmr.fd
File: ts1cmr.fd 2022/07/10 v2.5l Standard LaTeX font definitions
)
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for TU/lmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OMX/cmex/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for U/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.


LaTeX Warning: Reference `nowhere' on page 1 undefined on input line 3.


LaTeX Warning: Citation `nobody' on page 1 undefined on input line 3.


Overfull \hbox (134.12pt too wide) detected at line 5
\TU/lmr/m/n/10 This line is far too wide for its box
 []

(./chap/intro.tex
./chap/intro.tex:2: Undefined control sequence.
l.2 \undefinedmacro
                    
Here is how much of TeX's memory you used:
 469 strings out of 478775
 9685 string characters out of 5850944
 1841991 words of memory out of 5000000
 20566 multiletter control sequences out of 15000+600000
 512303 words of font info for 34 fonts, out of 8000000 for 9000
 14 hyphenation exceptions out of 8191
 33i,1n,38p,143b,76s stack positions out of 10000i,1000n,20000p,200000b,200000s

No pages of output.
)LOG";

inline constexpr const char* LUALATEX_LOG = R"LOG(This is LuaHBTeX, Version 1.15.0 (TeX Live 2022/Debian)  (format=lualatex 2026.12.10)  10 DEC 2026 16:13
 restricted system commands enabled.
 file:line:error style messages enabled.
**main.tex
(./main.tex
LaTeX2e <2022-11-01> patch level 1
Lua module: luaotfload 2022-10-03 3.23 Lua based OpenType font support
Lua module: lualibs 2022-10-04 2.75 ConTeXt Lua standard libraries.
Lua module: lualibs-extended 2022-10-04 2.75 ConTeXt Lua libraries -- extended collection.
luaotfload | conf : Root cache directory is "/var/lib/texmf/luatex-cache/generic/names".
luaotfload | init : Loading fontloader "fontloader-2022-10-03.lua" from kpse-resolved path "/usr/share/texlive/texmf-dist/tex/luatex/luaotfload/fontloader-2022-10-03.lua".
Lua-only attribute luaotfload@noligature = 1
luaotfload | init : Context OpenType loader version 3.120
Inserting `luaotfload.node_processor' in `pre_linebreak_filter'.
Inserting `luaotfload.node_processor' in `hpack_filter'.
Inserting `luaotfload.glyph_stream' in `glyph_stream_provider'.
Inserting `luaotfload.define_font' in `define_font'.
Lua-only attribute luaotfload_color_attribute = 2
luaotfload | conf : Root cache directory is "/var/lib/texmf/luatex-cache/generic/names".
Inserting `luaotfload.harf.strip_prefix' in `find_opentype_file'.
Inserting `luaotfload.harf.strip_prefix' in `find_truetype_file'.
Removing  `luaotfload.glyph_stream' from `glyph_stream_provider'.
Inserting `luaotfload.harf.glyphstream' in `glyph_stream_provider'.
Inserting `luaotfload.harf.finalize_vlist' in `post_linebreak_filter'.
Inserting `luaotfload.harf.finalize_hlist' in `hpack_filter'.
Inserting `luaotfload.cleanup_files' in `wrapup_run'.
Inserting `luaotfload.harf.finalize_unicode' in `finish_pdffile'.
Inserting `luaotfload.glyphinfo' in `glyph_info'.
Lua-only attribute luaotfload.letterspace_done = 3
Inserting `luaotfload.aux.set_sscale_dimens' in `luaotfload.patch_font'.
Inserting `luaotfload.aux.set_font_index' in `luaotfload.patch_font'.
Inserting `luaotfload.aux.patch_cambria_domh' in `luaotfload.patch_font'.
Inserting `luaotfload.aux.fixup_fontdata' in `luaotfload.patch_font_unsafe'.
Inserting `luaotfload.aux.set_capheight' in `luaotfload.patch_font'.
Inserting `luaotfload.aux.set_xheight' in `luaotfload.patch_font'.
Inserting `luaotfload.rewrite_fontname' in `luaotfload.patch_font'. L3 programming layer <2023-01-16>
Inserting `tracingstacklevels' in `input_level_string'. (/usr/share/texlive/texmf-dist/tex/latex/base/article.cls
Document Class: article 2022/07/02 v1.4n Standard LaTeX document class
(/usr/share/texlive/texmf-dist/tex/latex/base/size10.clo
File: size10.clo 2022/07/02 v1.4n Standard LaTeX file (size option)
luaotfload | db : Font names database loaded from /var/lib/texmf/luatex-cache/generic/names/luaotfload-names.luc.gz)
\c@part=\count183
\c@section=\count184
\c@subsection=\count185
\c@subsubsection=\count186
\c@paragraph=\count187
\c@subparagraph=\count188
\c@figure=\count189
\c@table=\count190
\abovecaptionskip=\skip48
\belowcaptionskip=\skip49
\bibindent=\dimen139
) (/usr/share/texlive/texmf-dist/tex/latex/l3backend/l3backend-luatex.def
File: l3backend-luatex.def 2023-01-16 L3 backend support: PDF output (LuaTeX)
\l__color_backend_stack_int=\count191
\l__pdf_internal_box=\box51
) (./out-lualatex/main.aux)
\openout1 = main.aux

LaTeX Font Info:    Checking defaults for OML/cmm/m/it on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OMS/cmsy/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OT1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for T1/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for TS1/cmr/m/n on input line 2.
LaTeX Font Info:    Trying to load font information for TS1+cmr on input line 2.
 (/usr/share/texlive/texmf-dist/tex/latex/base/ts1cmr.fd
File: ts1cmr.fd 2022/07/10 v2.5l Standard LaTeX font definitions
)
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for TU/lmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for OMX/cmex/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.
LaTeX Font Info:    Checking defaults for U/cmr/m/n on input line 2.
LaTeX Font Info:    ... okay on input line 2.


LaTeX Warning: Reference `nowhere' on page 1 undefined on input line 3.


LaTeX Warning: Citation `nobody' on page 1 undefined on input line 3.


Overfull \hbox (134.12pt too wide) detected at line 5
\TU/lmr/m/n/10 This line is far too wide for its box
 []

(./chap/intro.tex
./chap/intro.tex:2: Undefined control sequence.
l.2 \undefinedmacro
                 

Here is how much of LuaTeX's memory you used:
 483 strings out of 478382
 100000,1977958 words of node,token memory allocated
 1002 words of node memory still in use:
   8 hlist, 1 rule, 2 local_par, 1 dir, 20 glue, 6 kern, 1 penalty, 52 glyph, 14 attribute, 48 glue_spec, 14 attribute_list, 1 temp, 1 write nodes
   avail lists: 1:1,3:1,4:1,5:2
 20665 multiletter control sequences out of 65536+600000
 16 fonts using 855119 bytes
 33i,1n,37p,126b,78s stack positions out of 10000i,1000n,20000p,200000b,200000s
./chap/intro.tex:2:  ==> Fatal error occurred, no output PDF file produced!
)LOG";

inline constexpr const char* CONTEXT_LOG = R"LOG(open source     > level 1, order 1, name '/usr/share/texmf/tex/context/base/mkiv/cont-yes.mkiv'
system          > 
system          > ConTeXt  ver: 2021.03.05 19:11 MKIV  fmt: 2026.12.10  int: english/english
system          > 
system          > 'cont-new.mkiv' loaded
open source     > level 2, order 2, name '/usr/share/texmf/tex/context/base/mkiv/cont-new.mkiv'
system          > beware: some patches loaded from cont-new.mkiv
close source    > level 2, order 2, name '/usr/share/texmf/tex/context/base/mkiv/cont-new.mkiv'

system          > files > jobname 'main', input './main', result 'main'
fonts           > latin modern fonts are not preloaded
languages       > language 'en' is active
open source     > level 2, order 3, name '/tmp/ctx/main.tex'
fonts           > preloading latin modern fonts (second stage)
fonts           > 'fallback modern-designsize rm 12pt' is loaded

Overfull \hbox (159.16302pt too wide) detected at line 3
<1: lmroman12-regular @ 12.0pt> This line is far too wide for its box

\hbox(8.44336+0.11993)x10.0, glue set - 1.0, direction TLT
.<1: lmroman12-regular @ 12.0pt> T
.<1: lmroman12-regular @ 12.0pt> h
.<1: lmroman12-regular @ 12.0pt> i
.<1: lmroman12-regular @ 12.0pt> s
.\glue(\spaceskip) 3.90985 plus 1.95493 minus 1.30328
.etc.

open source     > level 3, order 4, name 'chap/intro.tex'

tex error       > tex error on line 2 in file chap/intro.tex: ! Undefined control sequence

l.2 \undefinedmacro
                 

1     Intro.
2 >>  \undefinedmacro
3     More.
4     

)LOG";

}  // namespace vellora::test
