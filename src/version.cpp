#include "version.h"

// The build defines the version from the file VERSION; the self-update tests build a second
// executable with another one (their "next release").
#ifndef VELLORA_VERSION_TEXT
#error "VELLORA_VERSION_TEXT is defined by the build (from the file VERSION)"
#endif

namespace vellora {

extern const std::string_view VERSION = VELLORA_VERSION_TEXT;

}  // namespace vellora
