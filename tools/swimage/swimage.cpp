// swimage: makes and inspects image files for the switch's boot manager.
//
// "info" reads files with the boot manager's own header rules, record scans
// and component walker, so what it shows is what the switch will see.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/image_format.h"
#include "image_signing.h"
#include "image_writer.h"
#include "platform/unique_file.h"

namespace {

constexpr const char* HELP = R"(usage: swimage create OUTPUT COMPONENT...
       swimage info [--verify KEY.pem] IMAGE
       swimage --help

Makes and inspects image files for the switch's boot manager.

create: writes OUTPUT from one or more components, in the order given. Each
component starts with --payload; the options after it, up to the next
--payload, describe that component.
  --payload FILE          the payload bytes
  --type TYPE             application, bootloader, kernel, rootfs, devicetree,
                          diag-application, tesk-application, onie, odm-diags;
                          or a type number 1-255 (type word 0xNN4D4152);
                          or a whole 32-bit type word written above 0xff
  --version A.B.C.D       image version (default 0.0.0.0)
  --header-version 1|2|3  header layout (default 3)
  --header-size N         size of a version-2 header (default 24, at least 20)
  --sign KEY.pem          sign the payload with this RSA private key: a
                          signature record (RSA PKCS#1 v1.5 over SHA-256)
  --type-override TYPE    add a type-override record carrying TYPE
  --record TYPE:HEX       add a header record of this type with the body in
                          hexadecimal (may be empty); may be repeated
  Records (signature, type override, then --record ones in order) need header
  version 3. The header length, len and the CRC are computed.

info: lists each component of IMAGE: offset, type, version, header version,
header size, payload size, span, CRC, size limit, header records, signature.
  --verify KEY.pem        check every signature against this RSA public key

Exit status: 0 done; 1 malformed image, bad CRC, failed signature, or a file
that cannot be read or written; 2 wrong usage.
)";

using File = platform::UniqueFile;

int usage_error(const std::string& message) {
    std::fprintf(stderr, "swimage: %s (see swimage --help)\n", message.c_str());
    return 2;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "swimage: %s\n", message.c_str());
    return 1;
}

bool parse_number(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > max)
        return false;
    *value = parsed;
    return true;
}

const std::map<std::string, uint32_t> type_names = {
    {"application", IMAGE_TYPE_APPLICATION},
    {"bootloader", IMAGE_TYPE_BOOT_LOADER},
    {"kernel", IMAGE_TYPE_KERNEL},
    {"rootfs", IMAGE_TYPE_ROOT_FS},
    {"devicetree", IMAGE_TYPE_DEVICE_TREE},
    {"diag-application", IMAGE_TYPE_DIAG_APPLICATION},
    {"tesk-application", IMAGE_TYPE_TESK_APPLICATION},
    {"onie", IMAGE_TYPE_ONIE},
    {"odm-diags", IMAGE_TYPE_ODM_DIAGS},
};

bool parse_type(const std::string& text, uint32_t* type_word) {
    const auto named = type_names.find(text);
    if (named != type_names.end()) {
        *type_word = named->second;
        return true;
    }
    uint64_t value = 0;
    if (!parse_number(text, 0xFFFFFFFFULL, &value))
        return false;
    *type_word = value <= 0xFF ? image_type_from_number(static_cast<uint8_t>(value))
                               : static_cast<uint32_t>(value);
    return true;
}

bool parse_version(const std::string& text, uint32_t* id) {
    uint32_t result = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.', start);
        if ((part < 3) == (dot == std::string::npos))
            return false;
        const std::string field = text.substr(start, part < 3 ? dot - start : std::string::npos);
        uint64_t value = 0;
        if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos ||
            !parse_number(field, 255, &value))
            return false;
        result = (result << 8) | static_cast<uint32_t>(value);
        start = dot + 1;
    }
    *id = result;
    return true;
}

bool parse_hex(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2)
        bytes->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return true;
}

bool parse_record(const std::string& text, swimage::RawRecord* record) {
    const size_t colon = text.find(':');
    uint64_t type = 0;
    if (colon == std::string::npos || !parse_number(text.substr(0, colon), 0xFFFF, &type))
        return false;
    record->type = static_cast<uint16_t>(type);
    return parse_hex(text.substr(colon + 1), &record->body);
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    bytes->clear();
    std::vector<uint8_t> buffer(0x10000);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + got);
    if (std::ferror(file.get())) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

struct ComponentOptions {
    std::string payload_path;
    bool has_type = false;
    std::string sign_path;
    swimage::ComponentRecipe recipe;
};

int run_create(int argc, char** argv) {
    if (argc < 1)
        return usage_error("create needs an OUTPUT file and at least one component");
    const std::string output = argv[0];
    if (output.rfind("--", 0) == 0)
        return usage_error("create needs the OUTPUT file first");
    std::vector<ComponentOptions> components;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage_error(option + " needs a value");
        const std::string value = argv[++i];
        if (option == "--payload") {
            components.emplace_back();
            components.back().payload_path = value;
            continue;
        }
        if (components.empty())
            return usage_error(option + " comes before any --payload");
        ComponentOptions& c = components.back();
        if (option == "--type") {
            if (!parse_type(value, &c.recipe.type_word))
                return usage_error("unknown image type '" + value + "'");
            c.has_type = true;
        } else if (option == "--version") {
            if (!parse_version(value, &c.recipe.id))
                return usage_error("version '" + value + "' is not a.b.c.d with numbers 0-255");
        } else if (option == "--header-version") {
            uint64_t v = 0;
            if (!parse_number(value, 3, &v) || v < 1)
                return usage_error("header version must be 1, 2 or 3");
            c.recipe.header_version = static_cast<int>(v);
        } else if (option == "--header-size") {
            uint64_t v = 0;
            if (!parse_number(value, 0xFFFF, &v) || v < IMAGE_V2_MIN_HEADER_SIZE)
                return usage_error("header size must be 20 to 65535");
            c.recipe.v2_header_size = static_cast<uint16_t>(v);
        } else if (option == "--sign") {
            c.sign_path = value;
        } else if (option == "--type-override") {
            if (!parse_type(value, &c.recipe.type_override))
                return usage_error("unknown image type '" + value + "'");
            c.recipe.has_type_override = true;
        } else if (option == "--record") {
            swimage::RawRecord record;
            if (!parse_record(value, &record))
                return usage_error("record '" + value + "' is not TYPE:HEX");
            c.recipe.records.push_back(record);
        } else {
            return usage_error("unknown option " + option);
        }
    }
    if (components.empty())
        return usage_error("create needs at least one --payload");

    std::vector<std::vector<uint8_t>> headers;
    for (size_t n = 0; n < components.size(); ++n) {
        ComponentOptions& c = components[n];
        const std::string which = "component " + std::to_string(n + 1);
        if (!c.has_type)
            return usage_error(which + " has no --type");
        if (c.recipe.header_version != 2 && c.recipe.v2_header_size != 24)
            return usage_error(which + ": --header-size is for version-2 headers");
        std::string error;
        if (!read_whole_file(c.payload_path, &c.recipe.payload, &error))
            return failure(error);
        if (!c.sign_path.empty()) {
            if (c.recipe.header_version != 3)
                return failure(which + ": only a version-3 header carries a signature");
            swimage::Pkey key = swimage::load_private_key(c.sign_path, &error);
            if (!key ||
                !swimage::sign_payload(key.get(), c.recipe.payload, &c.recipe.signature, &error))
                return failure(error);
        }
        std::vector<uint8_t> header;
        if (!swimage::build_component_header(c.recipe, &header, &error))
            return failure(which + ": " + error);
        headers.push_back(std::move(header));
    }

    File out(std::fopen(output.c_str(), "wb"));
    if (!out)
        return failure(output + ": " + std::strerror(errno));
    uint64_t total = 0;
    bool written = true;
    for (size_t n = 0; n < components.size() && written; ++n) {
        const auto& payload = components[n].recipe.payload;
        written =
            std::fwrite(headers[n].data(), 1, headers[n].size(), out.get()) == headers[n].size() &&
            std::fwrite(payload.data(), 1, payload.size(), out.get()) == payload.size();
        total += headers[n].size() + payload.size();
    }
    const int error = errno;
    if (!platform::close_written(std::move(out)) || !written) {
        const int reported = written ? errno : error;
        std::remove(output.c_str());
        return failure(output + ": " + std::strerror(reported));
    }
    std::printf("%s: %zu component%s, %" PRIu64 " bytes\n", output.c_str(), components.size(),
                components.size() == 1 ? "" : "s", total);
    return 0;
}

std::string describe_record(const uint8_t* header, const HeaderRecord& record) {
    char text[160];
    const char* what = "";
    std::string detail;
    if (record.type == IMAGE_RECORD_SIGNATURE)
        what = " (signature)";
    if (record.type == IMAGE_RECORD_TYPE_OVERRIDE) {
        what = " (type override)";
        if (record.intact && record.length >= IMAGE_TYPE_OVERRIDE_RECORD_SIZE) {
            char word[32];
            std::snprintf(word, sizeof word, ", type word 0x%08x",
                          image_be32(header + record.offset + IMAGE_RECORD_HEADER_SIZE));
            detail = word;
        }
    }
    std::snprintf(text, sizeof text, "    record at %zu: type %u%s, length %u%s%s\n", record.offset,
                  record.type, what, record.length, detail.c_str(),
                  record.intact ? "" : ", runs past the header");
    return text;
}

std::string describe_limit(const ComponentHeader& h) {
    const SizeLimit limit = image_size_limit(h.type);
    if (limit.kind == SizeLimitKind::none)
        return "";
    char text[128];
    std::snprintf(text, sizeof text, "  size limit:     %s at most %u bytes, %s\n",
                  limit.kind == SizeLimitKind::payload ? "payload" : "span", limit.limit,
                  within_size_limit(h) ? "within" : "EXCEEDED");
    return text;
}

int run_info(int argc, char** argv) {
    std::string key_path;
    std::string image_path;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verify") {
            if (i + 1 >= argc)
                return usage_error("--verify needs a key file");
            key_path = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            return usage_error("unknown option " + arg);
        } else if (image_path.empty()) {
            image_path = arg;
        } else {
            return usage_error("info takes one IMAGE");
        }
    }
    if (image_path.empty())
        return usage_error("info needs an IMAGE");

    std::string error;
    swimage::Pkey key;
    if (!key_path.empty()) {
        key = swimage::load_public_key(key_path, &error);
        if (!key)
            return failure(error);
    }
    File file(std::fopen(image_path.c_str(), "rb"));
    struct stat status {};
    if (!file || ::fstat(fileno(file.get()), &status) != 0)
        return failure(image_path + ": " + std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        return failure(image_path + ": not a regular file");
    const uint64_t file_size = static_cast<uint64_t>(status.st_size);
    std::printf("%s: %" PRIu64 " bytes\n", image_path.c_str(), file_size);

    ImageWalker walker(file.get());
    ImageComponent c;
    int count = 0;
    uint64_t walked_to = 0;
    std::vector<std::string> problems;
    for (;;) {
        const WalkStep step = walker.next(&c);
        if (step == WalkStep::end)
            break;
        const std::string which = image_path + ": component " + std::to_string(count + 1) +
                                  " at offset " + std::to_string(c.start);
        const ComponentHeader& h = c.header;
        if (step == WalkStep::malformed) {
            std::fflush(stdout);
            return failure(which + ": header version " + std::to_string(h.version) +
                           " with header size " + std::to_string(h.header_size) +
                           " cannot describe a component of span " + std::to_string(h.span));
        }
        ++count;
        const char* name = image_type_name(h.type);
        char version[IMAGE_VERSION_TEXT_SIZE];
        format_image_version(h.id, version);
        std::printf("component %d at offset %" PRIu64 " (0x%" PRIx64 ")\n", count, c.start,
                    c.start);
        std::printf("  type:           %s (%u), type word 0x%08x\n", name ? name : "unknown",
                    h.type >> 24, h.type_word);
        std::printf("  version:        %s\n", version);
        std::printf("  header version: %d\n", h.version);
        std::printf("  header size:    %u\n", h.header_size);
        std::printf("  payload size:   %" PRIu64 "\n", h.payload_size);
        std::printf("  span:           %" PRIu64 "\n", h.span);
        if (h.span > file_size - c.start) {
            std::fflush(stdout);
            return failure(which + " runs past the end of the file (span " +
                           std::to_string(h.span) + ", " + std::to_string(file_size - c.start) +
                           " bytes left)");
        }
        walked_to = c.start + h.span;

        uint32_t crc = 0;
        if (!compute_component_crc(file.get(), c, &crc))
            return failure(which + ": cannot read the component");
        std::printf("  crc:            0x%08x %s\n", h.crc, crc == h.crc ? "good" : "BAD");
        if (crc != h.crc) {
            char expected[64];
            std::snprintf(expected, sizeof expected,
                          ": CRC 0x%08x does not match (computed 0x%08x)", h.crc, crc);
            problems.push_back(which + expected);
        }
        std::fputs(describe_limit(h).c_str(), stdout);

        std::vector<uint8_t> header;
        if (!read_image_bytes(file.get(), c.start, h.header_size, &header))
            return failure(which + ": cannot read the header");
        std::string records;
        int record_count = 0;
        HeaderRecordCursor cursor(header.data(), header.size());
        HeaderRecord record;
        while (cursor.next(&record)) {
            ++record_count;
            records += describe_record(header.data(), record);
        }
        if (h.version == 3)
            std::printf("  records:        %d\n%s", record_count, records.c_str());

        const SignatureRecord sig = find_signature_record(header.data(), header.size());
        if (!sig.found) {
            std::printf("  signed:         no\n");
        } else if (!sig.intact) {
            std::printf("  signed:         yes, but the signature record is damaged\n");
            if (key)
                problems.push_back(which + ": damaged signature record");
        } else {
            std::printf("  signed:         yes, %u-byte signature\n", sig.signature_length);
        }
        if (key && sig.found && sig.intact) {
            const swimage::Verdict verdict =
                seek_image(file.get(), c.start + h.header_size)
                    ? swimage::verify_payload(key.get(), file.get(), h.payload_size, sig.signature,
                                              sig.signature_length)
                    : swimage::Verdict::error;
            const char* text = verdict == swimage::Verdict::verified ? "verified"
                               : verdict == swimage::Verdict::failed ? "DOES NOT VERIFY"
                                                                     : "cannot be checked";
            std::printf("  signature:      %s\n", text);
            if (verdict != swimage::Verdict::verified)
                problems.push_back(which + ": signature " +
                                   (verdict == swimage::Verdict::failed ? "does not verify"
                                                                        : "cannot be checked"));
        }
    }
    if (count == 0) {
        std::fflush(stdout);
        return failure(image_path + ": not an image file (fewer than 24 bytes)");
    }
    std::printf("%d component%s", count, count == 1 ? "" : "s");
    if (walked_to < file_size)
        std::printf(", %" PRIu64 " trailing bytes ignored", file_size - walked_to);
    std::printf("\n");
    std::fflush(stdout);
    if (problems.empty())
        return 0;
    // One line: the first problem; the listing above shows every one.
    if (problems.size() > 1)
        problems[0] += " (and " + std::to_string(problems.size() - 1) + " more)";
    return failure(problems[0]);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage_error("no command");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(HELP, stdout);
        return 0;
    }
    if (command == "create")
        return run_create(argc - 2, argv + 2);
    if (command == "info")
        return run_info(argc - 2, argv + 2);
    return usage_error("unknown command '" + command + "'");
}
