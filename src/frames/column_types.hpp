// The types of decoded columns: the narrowest standard type that holds every
// value a field can have, and the names other libraries know them by (the
// buffer protocol's struct formats and Arrow's C data interface formats).
#pragma once

#include <cstddef>
#include <cstdint>

namespace bitloom::frames {

enum class ColumnType : std::uint8_t {
    int8, int16, int32, int64,
    uint8, uint16, uint32, uint64,
    float32, float64,
    string,  // UTF-8 text: offsets and one data buffer
    binary,  // raw bytes: offsets and one data buffer
};

inline constexpr std::size_t kColumnTypeCount = static_cast<std::size_t>(ColumnType::binary) + 1;

struct ColumnTypeRow {
    ColumnType type;
    const char* name;            // numpy's and Arrow's name
    std::uint8_t item_size;      // bytes of a value; 0 for string and binary
    const char* struct_format;   // the buffer protocol's format, null for string and binary
    const char* arrow_format;    // the C data interface's format (int32 offsets for string and binary)
};

inline constexpr ColumnTypeRow kColumnTypes[kColumnTypeCount] = {
    {ColumnType::int8, "int8", 1, "b", "c"},
    {ColumnType::int16, "int16", 2, "h", "s"},
    {ColumnType::int32, "int32", 4, "i", "i"},
    {ColumnType::int64, "int64", 8, "q", "l"},
    {ColumnType::uint8, "uint8", 1, "B", "C"},
    {ColumnType::uint16, "uint16", 2, "H", "S"},
    {ColumnType::uint32, "uint32", 4, "I", "I"},
    {ColumnType::uint64, "uint64", 8, "Q", "L"},
    {ColumnType::float32, "float32", 4, "f", "f"},
    {ColumnType::float64, "float64", 8, "d", "g"},
    {ColumnType::string, "string", 0, nullptr, "u"},
    {ColumnType::binary, "binary", 0, nullptr, "z"},
};

constexpr const ColumnTypeRow& column_type_row(ColumnType type) noexcept {
    return kColumnTypes[static_cast<std::size_t>(type)];
}

constexpr bool has_offsets(ColumnType type) noexcept {
    return type == ColumnType::string || type == ColumnType::binary;
}

constexpr bool is_signed_integer(ColumnType type) noexcept { return type <= ColumnType::int64; }
constexpr bool is_float(ColumnType type) noexcept {
    return type == ColumnType::float32 || type == ColumnType::float64;
}

// The narrowest unsigned and signed types of at least `bits` bits (1..64).
constexpr ColumnType unsigned_type(std::uint32_t bits) noexcept {
    return bits <= 8 ? ColumnType::uint8 : bits <= 16 ? ColumnType::uint16
           : bits <= 32 ? ColumnType::uint32 : ColumnType::uint64;
}
constexpr ColumnType signed_type(std::uint32_t bits) noexcept {
    return bits <= 8 ? ColumnType::int8 : bits <= 16 ? ColumnType::int16
           : bits <= 32 ? ColumnType::int32 : ColumnType::int64;
}

}  // namespace bitloom::frames
