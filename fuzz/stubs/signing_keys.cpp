// Compiled-in keys for the key store's fuzz target: any fixed texts will do.
#include "image/signing_keys.h"

const char production_public_key[SIGNING_KEY_PEM_SIZE] =
    "-----BEGIN PUBLIC KEY-----\nproduction\n-----END PUBLIC KEY-----\n";
const char development_public_key[SIGNING_KEY_PEM_SIZE] =
    "-----BEGIN PUBLIC KEY-----\ndevelopment\n-----END PUBLIC KEY-----\n";
