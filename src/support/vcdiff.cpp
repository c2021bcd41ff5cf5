#include "support/vcdiff.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/file.h"

namespace vcdiff {
namespace {

constexpr uint8_t kMagic[3] = {0xD6, 0xC3, 0xC4};
constexpr uint8_t kHdrSecondary = 0x01, kHdrCodeTable = 0x02, kHdrAppHeader = 0x04;
// The secondary compressors the xdelta3 program knows.
constexpr uint8_t kDjw = 1, kLzma = 2, kFgk = 16;
constexpr uint8_t kWinSource = 0x01, kWinTarget = 0x02, kWinChecksum = 0x04;
// Encoders write windows of 16 MiB at most; a larger one is left to the
// external decoder.
constexpr uint64_t kMaxWindow = 64ull << 20;

// The memory every decoder of the process takes its share from.
class Budget {
 public:
  static Budget& Instance() {
    static Budget budget;
    return budget;
  }
  uint64_t Total() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
  }
  uint64_t SetTotal(uint64_t total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(total, m_total);
    m_room.notify_all();
    return total;
  }
  bool TryTake(uint64_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (n > m_total - m_used) return false;
    m_used += n;
    return true;
  }
  // Only for n up to the total, and by a caller that holds nothing: every
  // holder then goes on without waiting until it gives its share back.
  void Take(uint64_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_room.wait(lock, [&] { return n <= m_total - m_used; });
    m_used += n;
  }
  void Give(uint64_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used -= n;
    m_room.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_room;
  uint64_t m_total = kMemoryBudget, m_used = 0;
};

enum : uint8_t { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };

struct Half {
  uint8_t type, size, mode;
};
struct Code {
  Half half[2];
};

const std::array<Code, 256>& DefaultTable() {
  static const std::array<Code, 256> table = [] {
    std::array<Code, 256> t{};
    const Half none{kNoop, 0, 0};
    size_t i = 0;
    t[i++] = {{{kRun, 0, 0}, none}};
    for (uint8_t size = 0; size <= 17; ++size) t[i++] = {{{kAdd, size, 0}, none}};
    for (uint8_t mode = 0; mode <= 8; ++mode) {
      t[i++] = {{{kCopy, 0, mode}, none}};
      for (uint8_t size = 4; size <= 18; ++size) t[i++] = {{{kCopy, size, mode}, none}};
    }
    for (uint8_t mode = 0; mode <= 5; ++mode)
      for (uint8_t add = 1; add <= 4; ++add)
        for (uint8_t copy = 4; copy <= 6; ++copy) t[i++] = {{{kAdd, add, 0}, {kCopy, copy, mode}}};
    for (uint8_t mode = 6; mode <= 8; ++mode)
      for (uint8_t add = 1; add <= 4; ++add) t[i++] = {{{kAdd, add, 0}, {kCopy, 4, mode}}};
    for (uint8_t mode = 0; mode <= 8; ++mode) t[i++] = {{{kCopy, 4, mode}, {kAdd, 1, 0}}};
    return t;
  }();
  return table;
}

// An integer in base 128, most significant digit first, from a reader's
// Byte(); false when the bytes end first or it passes 64 bits.
template <class Reader>
bool ReadVarint(Reader& in, uint64_t& v) {
  v = 0;
  for (;;) {
    uint8_t b;
    if (!in.Byte(b) || v > (UINT64_MAX >> 7)) return false;
    v = (v << 7) | (b & 0x7F);
    if (!(b & 0x80)) return true;
  }
}

// Reads one section of a window held in memory.
struct Cursor {
  const uint8_t* p;
  const uint8_t* end;
  size_t Left() const { return (size_t)(end - p); }
  bool Byte(uint8_t& b) {
    if (p == end) return false;
    b = *p++;
    return true;
  }
  bool Varint(uint64_t& v) { return ReadVarint(*this, v); }
};

class Input {
 public:
  Input(const DeltaReader& read, uint64_t size) : m_read(read), m_size(size), m_buf(new uint8_t[kSize]) {}
  bool Failed() const { return m_failed; }
  // Bytes of the file not consumed yet, as its size was at the start.
  uint64_t Left() const {
    const uint64_t consumed = m_filled - (m_len - m_pos);
    return m_size > consumed ? m_size - consumed : 0;
  }
  bool AtEnd() { return m_pos == m_len && !Fill(); }
  bool Byte(uint8_t& b) {
    if (m_pos == m_len && !Fill()) return false;
    b = m_buf[m_pos++];
    return true;
  }
  bool Varint(uint64_t& v) { return ReadVarint(*this, v); }
  // n bytes into out, or just past them when out is null.
  bool Read(uint8_t* out, uint64_t n) {
    while (n > 0) {
      if (m_pos == m_len && !Fill()) return false;
      const size_t take = (size_t)std::min<uint64_t>(n, m_len - m_pos);
      if (out) {
        memcpy(out, m_buf.get() + m_pos, take);
        out += take;
      }
      m_pos += take;
      n -= take;
    }
    return true;
  }

 private:
  static constexpr size_t kSize = 64 * 1024;
  bool Fill() {
    if (m_failed) return false;
    const int64_t got = m_read(m_buf.get(), kSize);
    if (got < 0) m_failed = true;
    m_pos = 0;
    m_len = got > 0 ? (size_t)std::min<int64_t>(got, kSize) : 0;
    m_filled += m_len;
    return m_len > 0;
  }
  const DeltaReader& m_read;
  uint64_t m_size, m_filled = 0;
  std::unique_ptr<uint8_t[]> m_buf;
  size_t m_pos = 0, m_len = 0;
  bool m_failed = false;
};

// The source file, read in blocks on demand: a delta of a small edit
// copies most of its source once, in order. The cache is allocated on
// first use and may be dropped between windows.
class Source {
 public:
  Source(plat::File& file, uint64_t size)
      : m_file(file), m_size(size), m_slots((size_t)std::min<uint64_t>((size + kBlock - 1) / kBlock, kSlots)) {}
  uint64_t Size() const { return m_size; }
  uint64_t CacheBytes() const { return (uint64_t)m_slots * kBlock; }
  void Drop() { m_blocks.reset(); }
  bool Copy(uint64_t pos, uint64_t n, uint8_t* out) {
    if (n > 0 && !m_blocks) {
      m_blocks.reset(new uint8_t[m_slots * kBlock]);
      m_tags.fill(UINT64_MAX);
    }
    while (n > 0) {
      const uint64_t block = pos / kBlock;
      const size_t slot = (size_t)(block % m_slots);
      uint8_t* data = m_blocks.get() + slot * kBlock;
      if (m_tags[slot] != block && !Load(block, slot, data)) return false;
      const size_t off = (size_t)(pos % kBlock);
      const size_t take = (size_t)std::min<uint64_t>(n, kBlock - off);
      if (off + take > m_lens[slot]) return false;
      memcpy(out, data + off, take);
      out += take;
      pos += take;
      n -= take;
    }
    return true;
  }

 private:
  static constexpr size_t kBlock = 64 * 1024, kSlots = 64;
  bool Load(uint64_t block, size_t slot, uint8_t* data) {
    const int64_t have = m_file.ReadAt((int64_t)(block * kBlock), data, kBlock);
    if (have < 0) return false;
    m_tags[slot] = block;
    m_lens[slot] = (size_t)have;
    return true;
  }
  plat::File& m_file;
  uint64_t m_size;
  size_t m_slots;
  std::unique_ptr<uint8_t[]> m_blocks;
  std::array<uint64_t, kSlots> m_tags;
  std::array<size_t, kSlots> m_lens{};
};

// A decoder's share of the budget: its source cache and one buffer for a
// window's sections followed by its target.
class Memory {
 public:
  explicit Memory(Source& source) : m_source(source) {}
  ~Memory() {
    // Freed before the share goes back, which another decoder may take.
    m_buf.reset();
    m_source.Drop();
    Budget::Instance().Give(m_held);
  }
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;

  // Room for a window of n bytes; false when it would not fit the budget
  // even alone.
  bool Fit(uint64_t n) {
    if (m_held > 0 && n <= m_size) return true;
    Budget& budget = Budget::Instance();
    const uint64_t need = m_source.CacheBytes() + n;
    if (need > budget.Total()) return false;
    m_buf.reset();
    m_size = 0;
    if (!budget.TryTake(need > m_held ? need - m_held : 0)) {
      // Waiting while holding could wait for ever on others who wait too.
      m_source.Drop();
      budget.Give(m_held);
      m_held = 0;
      budget.Take(need);
    }
    m_held = std::max(m_held, need);
    m_buf.reset(new uint8_t[n]);
    m_size = n;
    return true;
  }
  uint8_t* Data() { return m_buf.get(); }

 private:
  Source& m_source;
  std::unique_ptr<uint8_t[]> m_buf;
  uint64_t m_size = 0, m_held = 0;
};

// The near and same caches of COPY addresses, reset at every window.
class AddressCache {
 public:
  AddressCache() { Reset(); }
  void Reset() {
    memset(m_near, 0, sizeof m_near);
    memset(m_same, 0, sizeof m_same);
    m_next = 0;
  }
  // here: the position being written, in the address space of the source
  // segment followed by the target window. A copy starts before it.
  bool Decode(uint8_t mode, uint64_t here, Cursor& in, uint64_t& addr) {
    uint64_t v = 0;
    if (mode == 0) {
      if (!in.Varint(v)) return false;
      addr = v;
    } else if (mode == 1) {
      if (!in.Varint(v) || v > here) return false;
      addr = here - v;
    } else if (mode < 2 + kNear) {
      if (!in.Varint(v) || v > UINT64_MAX - m_near[mode - 2]) return false;
      addr = m_near[mode - 2] + v;
    } else {
      uint8_t b;
      if (!in.Byte(b)) return false;
      addr = m_same[(size_t)(mode - 2 - kNear) * 256 + b];
    }
    if (addr >= here) return false;
    m_near[m_next] = addr;
    m_next = (m_next + 1) % kNear;
    m_same[addr % (kSame * 256)] = addr;
    return true;
  }

 private:
  static constexpr size_t kNear = 4, kSame = 3;
  uint64_t m_near[kNear];
  uint64_t m_same[kSame * 256];
  size_t m_next;
};

class Decoder {
 public:
  Decoder(Input& in, Source& source, plat::File& out) : m_in(in), m_source(source), m_out(out), m_memory(source) {}

  Result Run() {
    uint8_t head[4], hdr;
    if (!m_in.Read(head, 4) || !m_in.Byte(hdr)) return Short();
    if (memcmp(head, kMagic, 3) != 0) return Result::kCorrupt;
    if (head[3] != 0) return Result::kUnsupported;
    if (hdr & ~(kHdrSecondary | kHdrCodeTable | kHdrAppHeader)) return Result::kCorrupt;
    if (hdr & kHdrCodeTable) return Result::kUnsupported;
    // The compressor is named once; only a window that uses it matters.
    // One the program does not know makes it refuse the whole delta, so
    // the verdict is left to it.
    uint8_t compressor;
    if ((hdr & kHdrSecondary) && !m_in.Byte(compressor)) return Short();
    if ((hdr & kHdrSecondary) && compressor != kDjw && compressor != kLzma && compressor != kFgk)
      return Result::kUnsupported;
    uint64_t appLen;
    if ((hdr & kHdrAppHeader) && (!m_in.Varint(appLen) || !m_in.Read(nullptr, appLen))) return Short();
    // Even an empty target has a window: a bare header is a cut delta.
    size_t windows = 0;
    for (; !m_in.AtEnd(); ++windows) {
      Result r = Window();
      if (r != Result::kDone) return r;
    }
    if (m_in.Failed()) return Result::kIoError;
    return windows > 0 ? Result::kDone : Result::kCorrupt;
  }

 private:
  Result Short() const { return m_in.Failed() ? Result::kIoError : Result::kCorrupt; }

  Result Window() {
    uint8_t win;
    if (!m_in.Byte(win)) return Short();
    if (win & ~(kWinSource | kWinTarget | kWinChecksum)) return Result::kCorrupt;
    if ((win & kWinSource) && (win & kWinTarget)) return Result::kCorrupt;
    if (win & kWinTarget) return Result::kUnsupported;
    uint64_t segLen = 0, segPos = 0, encLen;
    if ((win & kWinSource) && (!m_in.Varint(segLen) || !m_in.Varint(segPos))) return Short();
    if (segPos > m_source.Size() || segLen > m_source.Size() - segPos) return Result::kCorrupt;
    if (!m_in.Varint(encLen)) return Short();
    if (encLen > 2 * kMaxWindow) return Result::kUnsupported;
    if (encLen > m_in.Left()) return Result::kCorrupt;  // before anything is allocated for it
    // The lengths lead the window and are read in place, so that its whole
    // memory is known before any is taken.
    const uint64_t start = m_in.Left();
    uint64_t tgtLen, dataLen, instLen, addrLen;
    uint8_t deltaInd;
    if (!m_in.Varint(tgtLen) || !m_in.Byte(deltaInd) || !m_in.Varint(dataLen) || !m_in.Varint(instLen) ||
        !m_in.Varint(addrLen))
      return Short();
    if (start - m_in.Left() > encLen) return Result::kCorrupt;
    const uint64_t restLen = encLen - (start - m_in.Left());
    if (deltaInd & ~0x07) return Result::kCorrupt;
    if (deltaInd != 0) return Result::kUnsupported;  // secondary compression
    if (tgtLen > kMaxWindow) return Result::kUnsupported;
    if (!m_memory.Fit(restLen + tgtLen)) return Result::kUnsupported;
    uint8_t* const rest = m_memory.Data();
    if (!m_in.Read(rest, restLen)) return Short();

    Cursor c{rest, rest + restLen};
    uint32_t sum = 0;
    if (win & kWinChecksum) {
      if (c.Left() < 4) return Result::kCorrupt;
      sum = (uint32_t)c.p[0] << 24 | (uint32_t)c.p[1] << 16 | (uint32_t)c.p[2] << 8 | c.p[3];
      c.p += 4;
    }
    if (dataLen > c.Left() || instLen > c.Left() - dataLen || addrLen != c.Left() - dataLen - instLen)
      return Result::kCorrupt;
    Cursor data{c.p, c.p + dataLen};
    Cursor inst{data.end, data.end + instLen};
    Cursor addr{inst.end, c.end};

    uint8_t* const t = rest + restLen;
    m_cache.Reset();
    const auto& table = DefaultTable();
    uint64_t here = 0;
    while (inst.p != inst.end) {
      const Code& code = table[*inst.p++];
      for (const Half& h : code.half) {
        if (h.type == kNoop) continue;
        uint64_t size = h.size;
        if (size == 0 && !inst.Varint(size)) return Result::kCorrupt;
        if (size > tgtLen - here) return Result::kCorrupt;
        if (h.type == kAdd) {
          if (size > data.Left()) return Result::kCorrupt;
          memcpy(t + here, data.p, (size_t)size);
          data.p += size;
        } else if (h.type == kRun) {
          uint8_t b;
          if (!data.Byte(b)) return Result::kCorrupt;
          memset(t + here, b, (size_t)size);
        } else {
          uint64_t at;
          if (!m_cache.Decode(h.mode, segLen + here, addr, at)) return Result::kCorrupt;
          if (at < segLen) {
            // A copy running on from the segment into the target is left
            // to the external decoder.
            if (size > segLen - at) return Result::kUnsupported;
            if (!m_source.Copy(segPos + at, size, t + here)) return Result::kIoError;
          } else {
            const uint64_t from = at - segLen;
            if (from + size <= here) {
              memcpy(t + here, t + from, (size_t)size);
            } else {
              // Overlapping: each byte may be one this copy just wrote.
              for (uint64_t k = 0; k < size; ++k) t[here + k] = t[from + k];
            }
          }
        }
        here += size;
      }
    }
    if (here != tgtLen || data.p != data.end || addr.p != addr.end) return Result::kCorrupt;
    if ((win & kWinChecksum) && adler32_z(1, t, (size_t)tgtLen) != sum) return Result::kCorrupt;
    return m_out.Write(t, (size_t)tgtLen) ? Result::kDone : Result::kIoError;
  }

  Input& m_in;
  Source& m_source;
  plat::File& m_out;
  Memory m_memory;
  AddressCache m_cache;
};

}  // namespace

BudgetHold::BudgetHold(uint64_t bytes) : m_bytes(std::min(bytes, Budget::Instance().Total())) {
  Budget::Instance().Take(m_bytes);
}

BudgetHold::~BudgetHold() { Budget::Instance().Give(m_bytes); }

uint64_t SetMemoryBudget(uint64_t bytes) { return Budget::Instance().SetTotal(bytes); }

Result Decode(const DeltaReader& delta, uint64_t deltaSize, const WString& source, const WString& output,
              bool writeBack) {
  plat::File s, o;
  int64_t sourceSize = -1;
  if (!s.Open(source, plat::File::kRead) || (sourceSize = s.Size()) < 0) return Result::kIoError;
  if (!o.Open(output, plat::File::kCreate)) return Result::kIoError;
  Input in(delta, deltaSize);
  Source src(s, (uint64_t)sourceSize);
  Result r = Decoder(in, src, o).Run();
  if (r == Result::kDone && writeBack && !o.StartWriteBack(0, 0)) r = Result::kIoError;
  if (!o.Close() && r == Result::kDone) r = Result::kIoError;
  return r;
}

Result DecodeFile(const WString& delta, const WString& source, const WString& output) {
  plat::File d;
  int64_t deltaSize = -1;
  if (!d.Open(delta, plat::File::kRead) || (deltaSize = d.Size()) < 0) return Result::kIoError;
  int64_t at = 0;
  const DeltaReader read = [&](uint8_t* buffer, size_t n) {
    const int64_t got = d.ReadAt(at, buffer, n);
    if (got > 0) at += got;
    return got;
  };
  return Decode(read, (uint64_t)deltaSize, source, output);
}

}  // namespace vcdiff
