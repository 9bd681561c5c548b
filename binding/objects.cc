#include "objects.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "py_ref.h"
#include "quarlen/compact_text.h"
#include "quarlen/json_text.h"
#include "quarlen/rows.h"

namespace quarlen::py {

// Short strings recur in catalogues (owners, types, flags): one slot per hash
// of the bytes keeps the last string made for them.
struct RowDecoder::Cache {
  static constexpr size_t kSlotBits = 12;
  static constexpr size_t kLongest = 24;
  // The bytes of a string, zero-padded to three words. Only strings without
  // escapes are kept, and their bytes are never NUL in the compact form, so
  // the padding tells the size.
  struct Key {
    uint64_t words[3];
    bool operator==(const Key&) const = default;
  };
  struct Slot {
    PyObject* object = nullptr;
    Key key = {};
  };
  Slot slots[size_t{1} << kSlotBits];

  ~Cache() {
    for (Slot& s : slots) Py_XDECREF(s.object);
  }

  // REQUIRES: size <= kLongest, and the text goes on to `end`.
  static Key key_of(const char* utf8, size_t size, const char* end) {
    Key k = {};
    if constexpr (std::endian::native == std::endian::little) {
      if (end - utf8 >= static_cast<ptrdiff_t>(kLongest)) {
        // Whole words from the text, the bytes past the string masked off.
        std::memcpy(k.words, utf8, kLongest);
        for (size_t i = 0; i < 3; ++i) {
          const size_t n = std::min<size_t>(size - std::min(size, 8 * i), 8);
          k.words[i] &= n == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
        }
        return k;
      }
    }
    std::memcpy(k.words, utf8, size);
    return k;
  }

  // A new reference to the str of `utf8`, or null with an exception set.
  // `end`: where the text that holds the string ends.
  PyObject* get(const char* utf8, size_t size, const char* end) {
    if (size > kLongest) return PyUnicode_FromStringAndSize(utf8, static_cast<Py_ssize_t>(size));
    const Key k = key_of(utf8, size, end);
    const uint64_t h = k.words[0] * 0x9E3779B97F4A7C15u + k.words[1] * 0xC2B2AE3D27D4EB4Fu +
                       k.words[2] * 0x165667B19E3779F9u;
    Slot& s = slots[h >> (64 - kSlotBits)];
    if (s.object != nullptr && s.key == k) {
      Py_INCREF(s.object);
      return s.object;
    }
    PyObject* made = PyUnicode_FromStringAndSize(utf8, static_cast<Py_ssize_t>(size));
    if (made == nullptr) return nullptr;
    Py_XDECREF(s.object);
    Py_INCREF(made);
    s.object = made;
    s.key = k;
    return made;
  }
};

RowDecoder::RowDecoder() : cache_(std::make_unique<Cache>()) {}
RowDecoder::~RowDecoder() = default;

bool RowDecoder::append_rows(std::string_view rows, PyObject* list) {
  CompactReader reader(rows);
  while (!reader.at_end()) {
    PyRef row(value(reader));
    if (!row || PyList_Append(list, row.get()) < 0) return false;
    reader.more();  // past the ',' between rows
  }
  return true;
}

PyObject* RowDecoder::decode(std::string_view text) {
  assert(!text.empty());  // one whole value
  CompactReader reader(text);
  return value(reader);
}

// The text is the core's compact form, already checked: every value is
// complete and well-formed, so only the interpreter can fail here.
PyObject* RowDecoder::value(CompactReader& reader) {
  switch (reader.peek()) {
    case '[': {
      // The items wait on a stack shared by every level, so that each list
      // is made once at its final size.
      const size_t base = items_.size();
      bool ok = true;
      if (reader.open()) {
        do {
          PyObject* item = value(reader);
          if (item == nullptr) {
            ok = false;
            break;
          }
          items_.push_back(item);
        } while (reader.more());
      }
      PyObject* list = ok ? PyList_New(static_cast<Py_ssize_t>(items_.size() - base)) : nullptr;
      for (size_t i = base; i < items_.size(); ++i) {
        if (list != nullptr) {
          PyList_SetItem(list, static_cast<Py_ssize_t>(i - base), items_[i]);  // steals
        } else {
          Py_DECREF(items_[i]);
        }
      }
      items_.resize(base);
      return list;
    }
    case '{': {
      PyRef dict(PyDict_New());
      if (!dict) return nullptr;
      if (!reader.open()) return dict.release();
      do {
        PyRef key(string(reader));
        if (!key) return nullptr;
        reader.colon();
        PyRef item(value(reader));
        if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
      } while (reader.more());
      return dict.release();
    }
    case '"':
      return string(reader);
    case 't':
      reader.token();
      Py_INCREF(Py_True);
      return Py_True;
    case 'f':
      reader.token();
      Py_INCREF(Py_False);
      return Py_False;
    case 'n':
      reader.token();
      Py_INCREF(Py_None);
      return Py_None;
    default:
      return number(reader.token());
  }
}

PyObject* RowDecoder::string(CompactReader& reader) {
  const char* const open = reader.position();
  const std::string_view text = reader.string(&scratch_);
  // Only a string without escapes is a view of the text, and only short ones
  // are worth keeping.
  if (text.data() == open + 1) return cache_->get(text.data(), text.size(), reader.end());
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* RowDecoder::number(std::string_view text) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  if (!CompactReader::is_integer(text)) {
    double d = 0;
    std::from_chars(begin, end, d);
    return PyFloat_FromDouble(d);
  }
  // The core keeps integers within 64 bits; larger ones became doubles.
  if (*begin == '-') {
    long long v = 0;
    std::from_chars(begin, end, v);
    return PyLong_FromLongLong(v);
  }
  unsigned long long v = 0;
  std::from_chars(begin, end, v);
  return PyLong_FromUnsignedLongLong(v);
}

// Encoding

namespace {

class Encoder {
 public:
  Encoder(std::string_view name, uint64_t number, std::string& out)
      : name_(name), number_(number), out_(out) {}

  // A row stands inside the array of a rows() call, so the deepest value it
  // may hold is one level short of the parser's limit.
  static constexpr int kRowEnclosing = 1;

  bool row(PyObject* v) { return value(v, kRowEnclosing); }

  bool refuse(PyObject* type, const std::string& reason) {
    const std::string message =
        std::string(name_) + " row " + std::to_string(number_) + ": " + reason;
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return false;
  }

 private:
  // `enclosing`: the arrays and objects around `v`, the row's array included.
  bool value(PyObject* v, int enclosing) {
    if (v == Py_None) {
      out_ += "null";
    } else if (v == Py_True) {
      out_ += "true";
    } else if (v == Py_False) {
      out_ += "false";
    } else if (PyUnicode_Check(v)) {
      return string(v);
    } else if (PyLong_Check(v)) {
      return integer(v);
    } else if (PyFloat_Check(v)) {
      const double d = PyFloat_AsDouble(v);
      if (!std::isfinite(d)) {
        return refuse(PyExc_ValueError, std::string(std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf") +
                                            " has no JSON form");
      }
      append_compact_double(d, out_);
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
      return array(v, enclosing);
    } else if (PyDict_Check(v)) {
      return object(v, enclosing);
    } else {
      return refuse(PyExc_TypeError, "Object of type " + type_name(v) + " is not JSON serializable");
    }
    return true;
  }

  bool string(PyObject* v) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(v, &size);
    if (utf8 == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      return refuse(PyExc_ValueError, "a str with a lone surrogate has no UTF-8 form");
    }
    append_compact_string(std::string_view(utf8, static_cast<size_t>(size)), out_);
    return true;
  }

  bool integer(PyObject* v) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
    char buf[24];
    if (overflow == 0) {
      if (small == -1 && PyErr_Occurred()) return false;
      out_.append(buf, std::to_chars(buf, buf + sizeof buf, small).ptr);
      return true;
    }
    if (overflow > 0) {
      const unsigned long long large = PyLong_AsUnsignedLongLong(v);
      if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out_.append(buf, std::to_chars(buf, buf + sizeof buf, large).ptr);
        return true;
      }
      PyErr_Clear();
    }
    // Past 64 bits the parser takes the number for a double, rounded to the
    // nearest and out of range where that overflows (number_to_double), which
    // is where this conversion overflows too.
    const double d = PyLong_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      return refuse(PyExc_ValueError, "number out of range");
    }
    append_compact_double(d, out_);
    return true;
  }

  bool array(PyObject* v, int enclosing) {
    if (nests_too_deep(enclosing)) return deep();
    const bool list = PyList_Check(v);
    const Py_ssize_t n = list ? PyList_Size(v) : PyTuple_Size(v);
    out_ += '[';
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i > 0) out_ += ',';
      PyObject* item = list ? PyList_GetItem(v, i) : PyTuple_GetItem(v, i);  // borrowed
      if (item == nullptr || !value(item, enclosing + 1)) return false;
    }
    out_ += ']';
    return true;
  }

  bool object(PyObject* v, int enclosing) {
    if (nests_too_deep(enclosing)) return deep();
    struct Member {
      std::string_view key;
      PyObject* value;  // borrowed from the dict
    };
    std::vector<Member> members;
    members.reserve(static_cast<size_t>(PyDict_Size(v)));
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(v, &pos, &key, &item)) {
      if (!PyUnicode_Check(key)) {
        return refuse(PyExc_ValueError, "a key that is not a str (" + type_name(key) + ")");
      }
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);  // kept by the key
      if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        return refuse(PyExc_ValueError, "a str with a lone surrogate has no UTF-8 form");
      }
      members.push_back({std::string_view(utf8, static_cast<size_t>(size)), item});
    }
    // The compact form orders keys by their bytes and, as the parser does,
    // keeps the last of a repeated key (str subclasses can repeat one).
    std::stable_sort(members.begin(), members.end(),
                     [](const Member& a, const Member& b) { return a.key < b.key; });
    out_ += '{';
    bool first = true;
    for (size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
      if (!first) out_ += ',';
      first = false;
      append_compact_string(members[i].key, out_);
      out_ += ':';
      if (!value(members[i].value, enclosing + 1)) return false;
    }
    out_ += '}';
    return true;
  }

  bool deep() {
    return refuse(PyExc_ValueError,
                  "nested more than " + std::to_string(kMaxDepth - kRowEnclosing) +
                      " levels deep");
  }

  static std::string type_name(PyObject* v) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(v)), "__name__"));
    Py_ssize_t size = 0;
    const char* utf8 = name && PyUnicode_Check(name.get())
                           ? PyUnicode_AsUTF8AndSize(name.get(), &size)
                           : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      return "?";
    }
    return std::string(utf8, static_cast<size_t>(size));
  }

  std::string_view name_;
  uint64_t number_;
  std::string& out_;
};

}  // namespace

bool encode_row(PyObject* row, size_t columns, std::string_view name, uint64_t number,
                std::string& block) {
  const size_t start = block.size();
  Encoder encoder(name, number, block);
  const bool list = PyList_Check(row);
  const bool is_array = list || PyTuple_Check(row);
  const Py_ssize_t n = !is_array ? 0 : list ? PyList_Size(row) : PyTuple_Size(row);
  if (!is_array || static_cast<size_t>(n) != columns) {
    return encoder.refuse(PyExc_ValueError,
                          shape_text(is_array, static_cast<uint64_t>(n), columns));
  }
  if (!encoder.row(row)) {
    block.resize(start);
    return false;
  }
  block += '\n';
  return true;
}

}  // namespace quarlen::py
