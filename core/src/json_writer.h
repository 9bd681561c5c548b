// The piece of the compact form that the parser's compact output shares with
// the writers of json_text.h.
#ifndef QUARLEN_JSON_WRITER_H_
#define QUARLEN_JSON_WRITER_H_

#include <string>

namespace quarlen {

// Appends the escape that the compact form uses for `c`, one of the string
// special bytes of json_bytes.h (the quotation mark, the backslash or a control).
void append_escaped_byte(unsigned char c, std::string& out);

}  // namespace quarlen

#endif  // QUARLEN_JSON_WRITER_H_
