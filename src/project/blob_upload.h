#pragma once

#include "http/message.h"

namespace vellora {

// POST /v1/blobs: verifies and stores base64 contents while the body arrives. Each content is
// decoded, hashed and written to a temporary file of the store piece by piece, and published under
// its digest only once its text is complete and matches the claimed digest; no content is ever held
// whole in memory. The replies are those of a body checked as one value: "invalid JSON: ..." and
// "body too large" for the body, "no blobs", then per blob in order "invalid base64" or "the content
// does not match the hash" (blobs completed before it stay stored), else {"stored": n}.
Reply blobs_endpoint(BodySource& body, const AllowedOrigin& origin);

}  // namespace vellora
