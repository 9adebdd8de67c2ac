// Image signatures and the policy that decides whether a component may be
// installed or booted: the production key always, the development key on
// developer boards or in low-security mode, and the operator's word when both
// of those hold and every check failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "image/key_store.h"
#include "image/payload_digest.h"
#include "platform/board_paths.h"

// Hashing reads the payload through a buffer of this size, whatever the
// payload's size.
constexpr size_t SIGNATURE_HASH_CHUNK = 256 * 1024;

// Given each piece of a payload as the check reads it, so that a caller can
// store the bytes in the same pass instead of reading them again. Returning
// false ends the handing on; the check itself goes on.
using PayloadSink = std::function<bool(const uint8_t* data, size_t length)>;

// Verifies an RSA/SHA-256 (PKCS#1 v1.5) signature over exactly payload_size
// bytes read from the file's current position, under the PEM key of the
// record. 0 when it verifies, -1 otherwise.
[[nodiscard]] int openssl_verifySignature(FILE* file, int32_t payload_size,
                                          const uint8_t* signature, size_t signature_length,
                                          const KeyRecord* key);

// 1 when the installed root filesystem (paths.developer_images_partition) is
// unsigned or signed with the development key. Determined once per run; not
// cached while it cannot be determined.
[[nodiscard]] int developer_images_installed(const BoardPaths& paths);
// Forgets the cached answer (for tests that change the partition).
void forget_developer_images_state();

// What to do with a component without signature: 1 proceed, 0 reject.
[[nodiscard]] int accept_unsigned_image(const BoardPaths& paths);

// Applies the signature policy to the component at the file's position, whose
// header bytes the caller read (count of them). 1 accepted, 0 rejected. Prints
// the verdict without a newline, after the caller's message. The file is back
// at the component start on return, except when the development key cannot be
// loaded. Low-security mode and the key files are those of paths. With
// digest, the SHA-256 of the payload a key verified is handed back; it stays
// absent when no key verified it (unsigned, or accepted on the operator's
// word), so there is nothing to hold the payload to later. With sink, every
// byte hashed is handed to it once, in order; an unsigned component is not
// read, so the sink may get fewer bytes than the payload holds, or none.
[[nodiscard]] int verify_image_signature(FILE* file, const uint8_t* header, size_t count,
                                         const BoardPaths& paths, PayloadDigest* digest = nullptr,
                                         const PayloadSink& sink = {});
