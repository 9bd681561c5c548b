// A member's rows over one or more files as an Arrow stream of record batches,
// typed by what the member holds.
//
// Nothing unchecked reaches the receiver: a first pass reads every member
// involved with every check of read_text, and learns the columns' types
// meanwhile; the batches come from a second read, except for members whose
// rows, all together, are no more than kKeptBytes of text: the first pass
// keeps those. When the entry's lines are the compact rows the first pass
// read, as their size and CRC-32 tell, the second read takes them as they
// stand, handing out no row before the text up to it matched the first
// pass's, piece by piece; otherwise it runs every check again. A fault in
// either pass is the stream's error, with read_text's message. A file changed
// between the two reads fails the stream once its member ends, or at the
// first row that no longer fits the types or the member's shape.
//
// The columns: "snapshot" (the file, as text) when the table was asked for
// with snapshot texts; "key" (the instance's key, "APP") for a keyed member
// asked for by its bare name, which stands for every instance the manifest
// lists, in its byte order; then the member's own columns. Types follow
// arrow_column.h. Texts take large_utf8 only when some member read holds 2 GiB
// of text or more, since no batch of a smaller member can pass int32 offsets.
#ifndef QUARLEN_ARROW_TABLE_H_
#define QUARLEN_ARROW_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quarlen/arrow_c.h"
#include "quarlen/error.h"
#include "quarlen/interrupt.h"

namespace quarlen {

// A field of a record batch: its name, its format string and whether it holds
// JSON texts (the arrow.json extension type over utf8).
struct FieldSpec {
  std::string name;
  std::string format;
  bool json;
};

// Fills *out with the schema of a record batch of `fields`, all nullable;
// *out then owns what it points to.
void export_batch_schema(const std::vector<FieldSpec>& fields, ArrowSchema* out);

// What a table is made of.
struct TableRequest {
  std::vector<std::string> paths;      // raw bytes, as the system takes them
  std::vector<std::string> snapshots;  // one text per path, or none: no snapshot column
  std::string name;                    // a member name, or a keyed member's bare name
};

// At most this many rows, or about kBatchBytes of the member's text, make a
// batch, whichever comes first.
inline constexpr int64_t kBatchRows = 64 * 1024;
inline constexpr size_t kBatchBytes = 4 << 20;
// The first pass keeps up to this much of the rows' text for the batches,
// which a second read then need not inflate and check again.
inline constexpr size_t kKeptBytes = 5 << 20;

class ArrowTable {
 public:
  // Checks the request's name (lookup_member's message for a name outside
  // the format); reads nothing yet.
  static Result<std::unique_ptr<ArrowTable>> make(TableRequest request);
  ~ArrowTable();

  // The first pass over every file, unless it already ran; its fault. It
  // gives up with kInterrupted once `interrupt` asks, and runs anew when
  // asked again.
  Result<void> prepare(Interrupt* interrupt = nullptr);

  // The schema of the batches, after the first pass.
  Result<void> export_schema(ArrowSchema* out);
  // The fields of that schema, after the first pass.
  Result<std::vector<FieldSpec>> fields();

  // The next batch, after the first pass; false at the end of the table.
  Result<bool> next_batch(ArrowArray* out);

  // A fresh table over this one's first pass, and its fault, where it ran:
  // its batches come from a second read of its own, so a table that stands
  // for the files as the first pass found them gives any number of streams
  // without reading everything again. For a table not read from yet.
  std::unique_ptr<ArrowTable> again() const;

  // Moves the table into *out. The stream runs the first pass when its schema
  // or first batch is asked for, unless it already ran. A call that fails
  // returns EIO, and get_last_error() gives the fault, which every later call
  // repeats. Its calls may come from any thread, one at a time.
  static void export_stream(std::unique_ptr<ArrowTable> table, ArrowArrayStream* out);

 private:
  struct State;
  explicit ArrowTable(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace quarlen

#endif  // QUARLEN_ARROW_TABLE_H_
