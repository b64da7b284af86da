#include "rpc/wire_format.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zva {
namespace wire {

size_t VarintSize(uint64_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

uint8_t* WriteVarint(uint64_t value, uint8_t* out) {
  while (value >= 0x80) {
    *out++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<uint8_t>(value);
  return out;
}

size_t TagSize(uint32_t number) { return VarintSize(uint64_t{number} << 3); }

size_t FieldSize(uint32_t number, size_t size) {
  return TagSize(number) + VarintSize(size) + size;
}

WireReader::WireReader(const std::vector<Piece>& pieces)
    : piece_(pieces.data()) {
  for (const Piece& piece : pieces) left_ += piece.size;
}

void WireReader::Settle() {
  // The pieces hold at least left_ more bytes, so this stops on one that
  // has some.
  while (offset_ == piece_->size) {
    ++piece_;
    offset_ = 0;
  }
}

bool WireReader::Next(Field* field) {
  uint64_t tag = 0;
  if (!ReadVarint(&tag) || tag > std::numeric_limits<uint32_t>::max()) {
    return false;
  }
  field->number = static_cast<uint32_t>(tag >> 3);
  field->type = static_cast<WireType>(tag & 7);
  if (field->number == 0) return false;
  switch (field->type) {
    case kVarint:
      return ReadVarint(&field->varint);
    case kFixed64:
      return Skip(8);
    case kFixed32:
      return Skip(4);
    case kLengthDelimited: {
      uint64_t length = 0;
      if (!ReadVarint(&length) || length > left_) return false;
      field->content = *this;
      field->content.left_ = static_cast<size_t>(length);
      return Skip(static_cast<size_t>(length));
    }
    default:
      return false;
  }
}

bool WireReader::ReadVarint(uint64_t* value) {
  uint64_t result = 0;
  for (int i = 0; i < 10; ++i) {
    if (left_ == 0) return false;
    Settle();
    const uint8_t byte = piece_->data[offset_++];
    --left_;
    // The tenth byte holds the 64th bit alone; anything more is a varint
    // too long or beyond 64 bits.
    if (i == 9 && byte > 1) return false;
    result |= uint64_t{byte & 0x7fu} << (7 * i);
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

template <typename Use>
bool WireReader::Consume(size_t size, Use use) {
  if (size > left_) return false;
  while (size > 0) {
    Settle();
    const size_t chunk = std::min(size, piece_->size - offset_);
    use(piece_->data + offset_, chunk);
    offset_ += chunk;
    left_ -= chunk;
    size -= chunk;
  }
  return true;
}

bool WireReader::Read(void* out, size_t size) {
  auto* to = static_cast<uint8_t*>(out);
  return Consume(size, [&to](const uint8_t* from, size_t chunk) {
    std::memcpy(to, from, chunk);
    to += chunk;
  });
}

void WireReader::AppendTo(std::string* out) {
  out->reserve(out->size() + left_);
  Consume(left_, [out](const uint8_t* from, size_t chunk) {
    out->append(reinterpret_cast<const char*>(from), chunk);
  });
}

bool WireReader::Skip(size_t size) {
  return Consume(size, [](const uint8_t*, size_t) {});
}

}  // namespace wire
}  // namespace zva
