#include "frames/arrow_export.hpp"

#include <memory>
#include <new>
#include <string>

namespace bitloom::frames {

namespace {

// ---- schemas ---------------------------------------------------------------

struct SchemaData {
    std::string format;
    std::string name;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
    auto* data = static_cast<SchemaData*>(schema->private_data);
    for (ArrowSchema* child : data->children) {
        if (child->release) child->release(child);
        delete child;
    }
    delete data;
    schema->release = nullptr;
}

const char* format_of(ColumnType type, bool large_offsets) noexcept {
    if (large_offsets) return type == ColumnType::string ? "U" : "Z";
    return column_type_row(type).arrow_format;
}

bool fill_schema(std::unique_ptr<SchemaData> data, int64_t flags, ArrowSchema* out) noexcept {
    out->format = data->format.c_str();
    out->name = data->name.c_str();
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = static_cast<int64_t>(data->children.size());
    out->children = data->children.empty() ? nullptr : data->children.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = data.release();
    return true;
}

// ---- arrays ----------------------------------------------------------------

struct ArrayData {
    ColumnMemory* memory = nullptr;  // a reference, or null for a struct array
    const void* buffers[3] = {};
    std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
    auto* data = static_cast<ArrayData*>(array->private_data);
    for (ArrowArray* child : data->children) {
        if (child->release) child->release(child);
        delete child;
    }
    if (data->memory) data->memory->release();
    delete data;
    array->release = nullptr;
}

std::size_t count_nulls(const ColumnSlice& column) noexcept {
    const ColumnMemory& memory = *column.memory;
    if (!memory.validity || memory.null_count == 0) return 0;
    if (column.offset == 0 && column.length == memory.length) return memory.null_count;
    std::size_t nulls = 0;
    for (std::size_t i = column.offset; i < column.offset + column.length; ++i) nulls += !memory.is_valid(i);
    return nulls;
}

std::vector<ColumnSlice>::size_type checked_children(const std::vector<ColumnSlice>& columns,
                                                     const std::vector<std::string>& names) noexcept {
    return columns.size() == names.size() ? columns.size() : 0;
}

// ---- streams ---------------------------------------------------------------

struct StreamData {
    std::vector<ColumnSlice> columns;  // each holding a reference
    std::vector<std::string> names;
    bool done = false;
    std::string error;

    ~StreamData() {
        for (ColumnSlice& column : columns) column.memory->release();
    }
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    if (!export_struct_schema(data->columns, data->names, out)) {
        data->error = "out of memory";
        return 12;  // ENOMEM
    }
    return 0;
}

bool export_struct_array(const std::vector<ColumnSlice>& columns, ArrowArray* out) noexcept {
    auto data = std::unique_ptr<ArrayData>(new (std::nothrow) ArrayData());
    if (!data) return false;
    std::size_t length = columns.empty() ? 0 : columns[0].length;
    try {
        for (const ColumnSlice& column : columns) {
            auto child = std::make_unique<ArrowArray>();
            if (!export_array(column, child.get())) throw std::bad_alloc();
            data->children.push_back(child.get());
            child.release();
        }
    } catch (...) {
        for (ArrowArray* child : data->children) {
            child->release(child);
            delete child;
        }
        return false;
    }
    data->buffers[0] = nullptr;
    out->length = static_cast<int64_t>(length);
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = static_cast<int64_t>(data->children.size());
    out->buffers = data->buffers;
    out->children = data->children.empty() ? nullptr : data->children.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = data.release();
    return true;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    if (data->done) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    if (!export_struct_array(data->columns, out)) {
        data->error = "out of memory";
        return 12;
    }
    data->done = true;
    return 0;
}

const char* stream_error(ArrowArrayStream* stream) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    return data->error.empty() ? nullptr : data->error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamData*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

bool export_schema(ColumnType type, bool large_offsets, const std::string& name, ArrowSchema* out) noexcept {
    try {
        auto data = std::make_unique<SchemaData>();
        data->format = format_of(type, large_offsets);
        data->name = name;
        return fill_schema(std::move(data), ARROW_FLAG_NULLABLE, out);
    } catch (...) {
        return false;
    }
}

bool export_column_schema(const ColumnMemory& memory, const std::string& name, ArrowSchema* out) noexcept {
    if (!memory.is_list()) return export_schema(memory.type, memory.large_offsets, name, out);
    try {
        auto data = std::make_unique<SchemaData>();
        data->format = memory.list_offsets ? std::string("+l") : "+w:" + std::to_string(memory.list_size);
        data->name = name;
        auto child = std::make_unique<ArrowSchema>();
        // The values are never null (a row that failed is null whole), but
        // the child is nullable as Arrow's own list types have it.
        if (!export_schema(memory.type, false, "item", child.get())) return false;
        data->children.push_back(child.get());
        child.release();
        return fill_schema(std::move(data), ARROW_FLAG_NULLABLE, out);
    } catch (...) {
        return false;
    }
}

namespace {

// The values of every row of a list column, as the child of its array.
bool export_list_values(ColumnMemory& memory, ArrowArray* out) noexcept {
    auto* data = new (std::nothrow) ArrayData();
    if (!data) return false;
    memory.retain();
    data->memory = &memory;
    data->buffers[0] = nullptr;
    data->buffers[1] = memory.values;
    const std::size_t values = memory.list_offsets ? static_cast<std::size_t>(memory.list_offsets[memory.length])
                                                   : memory.length * memory.list_size;
    out->length = static_cast<int64_t>(values);
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 2;
    out->n_children = 0;
    out->buffers = data->buffers;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = data;
    return true;
}

}  // namespace

bool export_array(const ColumnSlice& column, ArrowArray* out) noexcept {
    auto* data = new (std::nothrow) ArrayData();
    if (!data) return false;
    ColumnMemory& memory = *column.memory;
    if (memory.is_list()) {
        auto* child = new (std::nothrow) ArrowArray();
        bool added = false;
        if (child && export_list_values(memory, child)) {
            try {
                data->children.push_back(child);
                added = true;
            } catch (...) {
                child->release(child);
            }
        }
        if (!added) {
            delete child;
            delete data;
            return false;
        }
    }
    memory.retain();
    data->memory = &memory;
    data->buffers[0] = memory.validity;
    if (memory.is_list()) {
        data->buffers[1] = memory.list_offsets;  // null for a fixed-size list, which has one buffer
    } else {
        data->buffers[1] = memory.values;
        data->buffers[2] = memory.data;
    }
    out->length = static_cast<int64_t>(column.length);
    out->null_count = static_cast<int64_t>(count_nulls(column));
    out->offset = static_cast<int64_t>(column.offset);
    out->n_buffers = memory.list_offsets ? 2 : memory.list_size != 0 ? 1 : has_offsets(memory.type) ? 3 : 2;
    out->n_children = static_cast<int64_t>(data->children.size());
    out->buffers = data->buffers;
    out->children = data->children.empty() ? nullptr : data->children.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = data;
    return true;
}

bool export_struct_schema(const std::vector<ColumnSlice>& columns, const std::vector<std::string>& names,
                          ArrowSchema* out) noexcept {
    try {
        auto data = std::make_unique<SchemaData>();
        data->format = "+s";
        struct Guard {
            SchemaData* data;
            ~Guard() {
                if (!data) return;
                for (ArrowSchema* child : data->children) {
                    if (child->release) child->release(child);
                    delete child;
                }
                data->children.clear();
            }
        } guard{data.get()};
        const std::size_t count = checked_children(columns, names);
        for (std::size_t k = 0; k < count; ++k) {
            auto child = std::make_unique<ArrowSchema>();
            child->release = nullptr;
            if (!export_column_schema(*columns[k].memory, names[k], child.get())) {
                return false;
            }
            data->children.push_back(child.get());
            child.release();
        }
        guard.data = nullptr;
        return fill_schema(std::move(data), 0, out);
    } catch (...) {
        return false;
    }
}

bool export_stream(const std::vector<ColumnSlice>& columns, const std::vector<std::string>& names,
                   ArrowArrayStream* out) noexcept {
    try {
        auto data = std::make_unique<StreamData>();
        data->names = names;
        data->columns.reserve(columns.size());
        for (const ColumnSlice& column : columns) {
            column.memory->retain();
            data->columns.push_back(column);
        }
        out->get_schema = stream_schema;
        out->get_next = stream_next;
        out->get_last_error = stream_error;
        out->release = release_stream;
        out->private_data = data.release();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace bitloom::frames
