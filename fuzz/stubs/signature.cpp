// The signature policy accepts every component without a digest, as the
// operator's word does on a developer board in low security mode: the engine's
// own steps after it are what the install prompt's target reads.
#include "image/signature.h"

int verify_image_signature(FILE*, const uint8_t*, size_t, const BoardPaths&, PayloadDigest* digest,
                           const PayloadSink&) {
    if (digest)
        *digest = PayloadDigest{};
    return 1;
}
