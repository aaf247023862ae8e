// Encoding refusals of the reserved float formats; the names come from the
// format table.
#include "codecs/encoder/reserved.hpp"

#include "core/message.hpp"

namespace bitloom {

CodecError refuse_encoding(ReservedFormat format) {
    return make_error(ErrorKind::not_implemented_error, "{} encoding not yet implemented",
                      {reserved_format_row(format).name});
}

}  // namespace bitloom
