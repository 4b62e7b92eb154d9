#include "version.h"

// A build may set another version text (the self-update tests build such a "next release").
#ifndef VELLORA_VERSION_TEXT
#define VELLORA_VERSION_TEXT "0.4.15"
#endif

namespace vellora {

extern const std::string_view VERSION = VELLORA_VERSION_TEXT;

}  // namespace vellora
