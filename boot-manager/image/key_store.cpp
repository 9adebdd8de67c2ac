#include "image/key_store.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "image/image_cipher.h"
#include "image/signing_keys.h"
#include "platform/nvram.h"
#include "platform/unique_file.h"

namespace {

using platform::UniqueFile;

// What the loader knows about one of the two key files.
struct KnownKey {
    const char* compiled; // PEM text with its NUL
    const char* creating_directly;
    const char* creating_file;
    const char* updating_file;
};

const KnownKey PRODUCTION = {production_public_key, "Creating system key",
                             "Creating system key....", "Updating system key...."};
const KnownKey DEVELOPMENT = {development_public_key, "Creating system development key",
                              "Creating system development key....",
                              "Updating system development key...."};

const KnownKey* known_key(const char* path, const BoardPaths& paths) {
    if (paths.production_key == path)
        return &PRODUCTION;
    if (paths.development_key == path)
        return &DEVELOPMENT;
    return nullptr;
}

bool has_key_material(const uint8_t board_key[BOARD_KEY_SIZE]) {
    for (size_t i = 0; i < BOARD_KEY_SIZE; ++i)
        if (board_key[i] != 0)
            return true;
    return false;
}

void put_compiled_key(KeyRecord* record, const KnownKey& key) {
    std::memcpy(record->text, key.compiled, SIGNING_KEY_PEM_SIZE);
    record->length = SIGNING_KEY_PEM_LENGTH;
}

int write_compiled_key(const KnownKey& key, const char* path,
                       const uint8_t board_key[BOARD_KEY_SIZE]) {
    return write_encrypted_key(reinterpret_cast<const uint8_t*>(key.compiled),
                               static_cast<int>(SIGNING_KEY_PEM_SIZE), path, board_key,
                               static_cast<int>(BOARD_KEY_SIZE));
}

} // namespace

int write_encrypted_key(const uint8_t* plaintext, int length, const char* path, const uint8_t* key,
                        int key_length) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[KEY_CRYPT_BUFFER_SIZE]());
    int out_length = 0;
    int result = -1;
    // do_crypt writes the whole zero-filled length, which must fit the buffer.
    if (length <= KEY_CRYPT_BUFFER_SIZE)
        result = do_crypt(plaintext, length, out.get(), &out_length, 1, key, key_length);
    if (result < 0 || out_length < 1 || out_length > KEY_CRYPT_BUFFER_SIZE) {
        std::printf("ERROR encrypting new key %s (ret %d key len %d)\n", path, result, out_length);
        return 0;
    }
    UniqueFile file(std::fopen(path, "wb"));
    if (!file) {
        std::printf("ERROR creating file %s\n", path);
        return 0;
    }
    size_t written = std::fwrite(out.get(), 1, static_cast<size_t>(out_length), file.get());
    // A short file would later read as a different key; leave none behind.
    if (!platform::close_written(std::move(file)) || written != static_cast<size_t>(out_length)) {
        std::printf("ERROR creating file %s\n", path);
        std::remove(path);
        return 0;
    }
    return 1;
}

void read_board_key(uint8_t board_key[BOARD_KEY_SIZE]) {
    std::memset(board_key, 0, BOARD_KEY_SIZE);
    get_board_key_bytes(board_key);
}

int load_signing_key(KeyRecord* record, const char* path, const BoardPaths& paths) {
    if (!record)
        return 0;
    uint8_t board_key[BOARD_KEY_SIZE];
    read_board_key(board_key);
    return load_signing_key_with_board_key(record, path, board_key, paths);
}

int load_signing_key_with_board_key(KeyRecord* record, const char* path,
                                    const uint8_t board_key[BOARD_KEY_SIZE],
                                    const BoardPaths& paths) {
    if (!record || !path)
        return 0;
    const KnownKey* known = known_key(path, paths);

    if (!has_key_material(board_key)) {
        if (!known)
            return 0;
        std::printf("%s\n", known->creating_directly);
        put_compiled_key(record, *known);
        return 1;
    }

    record->length = 0;
    struct stat info {};
    if (::stat(path, &info) != 0) {
        if (known) {
            std::printf("%s\n", known->creating_file);
            write_compiled_key(*known, path, board_key);
        }
        if (::stat(path, &info) != 0) {
            std::printf("ERROR - unable to find system key\n");
            return 0;
        }
    }
    if (info.st_size > KEY_FILE_MAX_SIZE) {
        std::printf("ERROR loading key as length too long %d > %d\n",
                    static_cast<int>(info.st_size), static_cast<int>(KEY_FILE_MAX_SIZE));
        return 0;
    }

    UniqueFile file(std::fopen(path, "rb"));
    if (!file)
        return 0;
    // The size was checked above; a file that grew since is read no further.
    size_t size = std::fread(record->text, 1, static_cast<size_t>(KEY_FILE_MAX_SIZE), file.get());
    file.reset();
    record->length = static_cast<uint16_t>(size);

    std::unique_ptr<uint8_t[]> plain(new uint8_t[KEY_CRYPT_BUFFER_SIZE]());
    int plain_length = 0;
    int result =
        do_crypt(reinterpret_cast<const uint8_t*>(record->text), record->length, plain.get(),
                 &plain_length, 0, board_key, static_cast<int>(BOARD_KEY_SIZE));
    // The text must also fit the record with its NUL.
    if (result < 0 || plain_length < 1 || plain_length > KEY_CRYPT_BUFFER_SIZE ||
        static_cast<size_t>(plain_length) >= KEY_RECORD_TEXT_SIZE) {
        std::printf("ERROR decrypting new key %s (ret %d key len %d)\n", path, result,
                    plain_length);
        return 0;
    }
    std::memcpy(record->text, plain.get(), static_cast<size_t>(plain_length));
    record->text[plain_length] = '\0';
    record->length = static_cast<uint16_t>(plain_length);

    if (!known)
        return 1;
    // A text that is a leading part of the compiled-in key is kept as it is;
    // one longer than the key cannot be part of it.
    if (record->length <= SIGNING_KEY_PEM_LENGTH &&
        std::memcmp(known->compiled, record->text, record->length) == 0)
        return 1;
    std::printf("%s\n", known->updating_file);
    write_compiled_key(*known, path, board_key);
    put_compiled_key(record, *known);
    return 1;
}

int signing_keys_present(const BoardPaths& paths) {
    KeyRecord record{};
    return load_signing_key(&record, paths.production_key.c_str(), paths) &&
                   load_signing_key(&record, paths.development_key.c_str(), paths)
               ? 1
               : 0;
}
