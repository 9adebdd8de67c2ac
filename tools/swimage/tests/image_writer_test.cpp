// The header builder's refusals; the bytes it writes and the signatures are
// checked through the command line, against the switch's own reader and openssl.
#include <gtest/gtest.h>

#include "image/image_format.h"
#include "image_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct RecipeCase {
    const char* name;
    const char* error; // empty: the header is built
    int header_version;
    uint32_t type_word = IMAGE_TYPE_KERNEL;
    Bytes payload = {1};
    uint16_t v2_header_size = 24;
    Bytes signature{};
    std::vector<swimage::RawRecord> records{};
};

TEST(ImageWriter, RefusesWhatTheSwitchWouldMisread) {
    const uint32_t kernel = IMAGE_TYPE_KERNEL;
    const RecipeCase cases[] = {
        {"v1 payload starting HDR3", "HDR3", 1, kernel, {'H', 'D', 'R', '3'}},
        {"v1 type word with bit 31", "bit 31", 1, 0x844D4152},
        {"v1 signed", "signature", 1, kernel, {1}, 24, {1, 2}},
        {"v2 with records", "records", 2, kernel, {1}, 24, {}, {{9, {}}}},
        {"v2 header of 19", "20", 2, kernel, {1}, 19},
        {"v2 header of 20", "", 2, kernel, {1}, 20},
        {"header version 4", "1, 2 or 3", 4},
        {"v3 records fill 16 bits", "", 3, kernel, {1}, 24, {}, {{7, Bytes(0xFFFF - 28)}}},
        {"v3 records past 16 bits", "16-bit", 3, kernel, {1}, 24, {}, {{7, Bytes(0xFFFF - 27)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        swimage::ComponentRecipe recipe;
        recipe.header_version = c.header_version;
        recipe.type_word = c.type_word;
        recipe.payload = c.payload;
        recipe.v2_header_size = c.v2_header_size;
        recipe.signature = c.signature;
        recipe.records = c.records;
        Bytes header;
        std::string error;
        EXPECT_EQ(swimage::build_component_header(recipe, &header, &error), !*c.error);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

} // namespace
