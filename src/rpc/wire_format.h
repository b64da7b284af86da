#ifndef ZVA_RPC_WIRE_FORMAT_H_
#define ZVA_RPC_WIRE_FORMAT_H_

// The protobuf binary encoding at the level of single fields, for the two
// calls whose messages the library writes and reads itself (tensor_codec.h):
// sizes of varints and fields, varint writing, and a reader of a message
// that arrives in several pieces. Pure functions and value types; any
// thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zva {
namespace wire {

enum WireType : uint32_t {
  kVarint = 0,
  kFixed64 = 1,
  kLengthDelimited = 2,
  kStartGroup = 3,
  kEndGroup = 4,
  kFixed32 = 5,
};

// Bytes `value` takes as a varint: 1 to 10.
size_t VarintSize(uint64_t value);
// Writes `value` as a varint at `out` and returns the end of what it wrote
// (at most 10 bytes).
uint8_t* WriteVarint(uint64_t value, uint8_t* out);
// Bytes of the tag of field `number`.
size_t TagSize(uint32_t number);
// Bytes of a length-delimited field `number` of `size` bytes: tag, length
// and content.
size_t FieldSize(uint32_t number, size_t size);

// One contiguous piece of a message, not owned.
struct Piece {
  const uint8_t* data;
  size_t size;
};

struct Field;

// Reads a message held in consecutive pieces (the slices gRPC received it
// in), across piece boundaries, without copying it. A copy of a reader reads
// the same bytes independently. The pieces must outlive the reader and its
// copies. Every read fails (returns false) rather than read beyond the
// reader's bytes; after a failure the reader's position is unspecified.
class WireReader {
 public:
  // Reads nothing.
  WireReader() = default;
  // Reads the bytes of `pieces` in order; empty pieces are allowed.
  explicit WireReader(const std::vector<Piece>& pieces);

  // Bytes not read yet.
  size_t size() const { return left_; }
  bool empty() const { return left_ == 0; }

  // Reads the next field: its tag, then its varint value, its content (as a
  // reader of its own, which this one moves past) or its fixed-size value
  // (skipped). False for what the encoding does not allow: a truncated
  // field, field number 0, a tag beyond 32 bits, a varint longer than 10
  // bytes or beyond 64 bits, a length past the end, and groups, which the
  // schema of these messages never holds.
  bool Next(Field* field);
  bool ReadVarint(uint64_t* value);
  // Copies the next `size` bytes to `out`.
  bool Read(void* out, size_t size);
  // Appends every byte not read yet to *out and reads them.
  void AppendTo(std::string* out);
  bool Skip(size_t size);

 private:
  // Moves past pieces that are read to their end, while bytes are left.
  void Settle();
  // Hands the next `size` bytes to use(data, size), piece by piece, and
  // moves past them.
  template <typename Use>
  bool Consume(size_t size, Use use);

  const Piece* piece_ = nullptr;
  size_t offset_ = 0;  // within *piece_
  size_t left_ = 0;
};

// A field as WireReader::Next read it.
struct Field {
  uint32_t number = 0;
  WireType type = kVarint;
  // The value of a kVarint field.
  uint64_t varint = 0;
  // The content of a kLengthDelimited field.
  WireReader content;
};

}  // namespace wire
}  // namespace zva

#endif  // ZVA_RPC_WIRE_FORMAT_H_
