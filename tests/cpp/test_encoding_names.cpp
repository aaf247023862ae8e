// encoding_for_width against select_encoding: for every name of both tables
// and every width from 0 to 130, the first succeeds exactly when the second
// does, with the same encoding; a missing row selects nothing.
#include <cstdint>

#include "check.hpp"
#include "recipe/encoding_names.hpp"

using namespace bitloom;

namespace {

bool same(const FieldEncoding& a, const FieldEncoding& b) {
    return a.codec == b.codec && a.text == b.text && a.reserved == b.reserved;
}

void test_encoding_for_width_is_select_encodings_success() {
    for (NameDirection direction : {NameDirection::packing, NameDirection::unpacking}) {
        for (std::size_t index = 0; index < kEncodingNamesPerTable; ++index) {
            const EncodingNameRow* row = encoding_name_row(direction, index);
            for (std::uint32_t bits = 0; bits <= 130; ++bits) {
                FieldEncoding quick{FieldCodec::unsigned_integer};
                const bool found = encoding_for_width(row, bits, quick);
                Result<FieldEncoding> selected = select_encoding(row, encoding_row_name(row), bits);
                CHECK(found == selected.ok());
                if (found && selected.ok()) CHECK(same(quick, selected.value()));
            }
        }
    }
    FieldEncoding none{FieldCodec::unsigned_integer};
    CHECK(!encoding_for_width(nullptr, 8, none));
    CHECK(!select_encoding(nullptr, "nope", 8).ok());
}

}  // namespace

int main() {
    test_encoding_for_width_is_select_encodings_success();
    return failures == 0 ? 0 : 1;
}
