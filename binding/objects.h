// Rows as Python objects: built from the core's compact text, and encoded into
// it, without JSON text in Python between.
#ifndef QUARLEN_BINDING_OBJECTS_H_
#define QUARLEN_BINDING_OBJECTS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quarlen {
class CompactReader;
}

namespace quarlen::py {

// Builds Python values from compact JSON text that the core produced and
// checked, giving what json.loads gives for it: int, float, str, bool, None,
// list, and dict with the keys in stored order. Keeps the short strings it
// made, so that repeated values are made once. Holds the interpreter lock's
// objects: use and destroy it with the lock held.
class RowDecoder {
 public:
  RowDecoder();
  ~RowDecoder();
  RowDecoder(const RowDecoder&) = delete;
  RowDecoder& operator=(const RowDecoder&) = delete;

  // Appends to `list` the value of every row in `rows` (compact values
  // separated by ','). False with an exception set on failure.
  bool append_rows(std::string_view rows, PyObject* list);

  // The value of one compact text; null with an exception set on failure.
  PyObject* decode(std::string_view text);

 private:
  struct Cache;
  PyObject* value(CompactReader& reader);
  PyObject* string(CompactReader& reader);
  PyObject* number(std::string_view text);

  std::unique_ptr<Cache> cache_;
  std::string scratch_;
  std::vector<PyObject*> items_;  // of the lists being built, innermost last
};

// Encodes one row for the member `name` as the core's compact form followed
// by '\n', as Writer.rows stores the row that json.dumps writes for it. A row
// must be a list or tuple of `columns` values. False with an exception set:
// ValueError "{name} row {number}: {reason}" for a value that has no JSON form
// here (NaN, an infinity, a key that is not a str, a str that is not Unicode,
// nesting past 127 levels, a number out of range) or a row of the wrong shape,
// TypeError for an object that is not a JSON value.
bool encode_row(PyObject* row, size_t columns, std::string_view name, uint64_t number,
                std::string& block);

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_OBJECTS_H_
