// The key-store files on /user: enciphered under the board key, read back,
// deciphered and compared with the compiled-in key. Input: which file (one
// byte), the board key's 12 NVRAM bytes, then the file's content.
#include <cstring>

#include "fuzz_support.h"
#include "image/key_store.h"
#include "image/signing_keys.h"
#include "platform/nvram.h"
#include "stubs/board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + NVRAM_BOARD_KEY_LEN)
        return 0;
    BoardPaths paths;
    paths.production_key = fuzz::scratch_dir() + "/production_key.pub.pem";
    paths.development_key = fuzz::scratch_dir() + "/development_key.pub.pem";
    const std::string stranger = fuzz::scratch_dir() + "/stranger.pem";
    const std::string* const files[] = {&paths.production_key, &paths.development_key, &stranger};
    const std::string& path = *files[data[0] % 3];
    const bool absent = data[0] >= 0xF0; // no file: the loader creates it
    fuzz_load_nvram(nullptr, 0, 0);
    std::memcpy(fuzz_nvram + NVRAM_BOARD_KEY, data + 1, NVRAM_BOARD_KEY_LEN);
    data += 1 + NVRAM_BOARD_KEY_LEN;
    size -= 1 + NVRAM_BOARD_KEY_LEN;
    if (absent)
        std::remove(path.c_str());
    else
        fuzz::require(fuzz::write_file(path, data, size));

    KeyRecord record;
    std::memset(&record, 0xA5, sizeof record);
    if (load_signing_key(&record, path.c_str(), paths)) {
        fuzz::require(record.length < KEY_RECORD_TEXT_SIZE && record.text[record.length] == '\0');
        if (&path != &stranger) // a known file never yields more than its key
            fuzz::require(record.length <= SIGNING_KEY_PEM_LENGTH);
    }
    return 0;
}
