// Placeholder until the streaming checker lands: buffers the value.
#ifndef QUARLEN_JSON_STREAM_H_
#define QUARLEN_JSON_STREAM_H_

#include <string>
#include <string_view>

#include "quarlen/error.h"
#include "quarlen/json_text.h"

namespace quarlen {

class StreamingJsonCheck {
 public:
  bool feed(std::string_view piece) {
    text_.append(piece);
    return true;
  }
  Result<ValueShape> finish() {
    ValueShape shape;
    JsonScanner scanner;
    if (scanner.scan_value(text_, nullptr, &shape)) return shape;
    return parse_json(text_).error();
  }
  void reset() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace quarlen

#endif  // QUARLEN_JSON_STREAM_H_
