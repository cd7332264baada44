// The readings of this session in memory, for the trend view: every device's
// level and temperature words as received (not converted, not as text), kept
// for a bounded time and dropped when older.
//
// Memory: one row per device and read, (2 + sensors) 16-bit words: the time
// (offset from its chunk's start in 100 ms units, with two flags), the level
// and the raw temperature words. A device with 32 sensors costs 68 bytes a
// reading plus a fraction of a byte of bookkeeping. Rows live in chunks of up
// to kChunkRows rows of one sensor count; a chunk spans at most 27 minutes
// (the 14-bit offset), so old readings go in whole chunks.
//
// Threading: not locked; Add and Query on one thread (the window's).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>

#include "LineSnapshot.h"
#include "TrendSource.h"

class TSessionTrendStore : public ITrendSource {
 public:
  static constexpr int kChunkRows = 128;
  static constexpr std::int64_t kTimeUnitMs = 100;

  // Readings older than `keepMs` behind the newest are dropped.
  explicit TSessionTrendStore(std::int64_t keepMs = 24LL * 3600 * 1000);

  // Takes the readings of the devices the snapshot read. A device read with
  // nothing confirmed gets a row of gaps, so that its line breaks there; the
  // first cycle of a polling run and a single read break the line before
  // them (time without polling is not joined up).
  void Add(const TLineSnapshot& snapshot);

  std::uint64_t Query(const TTrendQuery& query, std::function<void(TTrendResult)> done) override;
  std::uint64_t Generation() const override { return FGeneration; }
  // The same query answered directly.
  TTrendResult Run(const TTrendQuery& query) const;

  std::int64_t KeepMs() const { return FKeepMs; }
  void SetKeepMs(std::int64_t keepMs);
  // Drops everything.
  void Clear();

  // Rows kept (all devices) and the bytes held for them, bookkeeping included.
  std::size_t RowCount() const;
  std::size_t MemoryBytes() const;

 private:
  struct TChunk {
    std::int64_t BaseMs = 0;
    std::uint8_t Sensors = 0;
    std::uint16_t Capacity = 0;  // rows
    std::uint16_t Count = 0;     // rows written
    std::unique_ptr<std::uint16_t[]> Words;
    int Stride() const { return 2 + Sensors; }
    const std::uint16_t* Row(int i) const { return Words.get() + i * Stride(); }
    std::int64_t TimeOf(int i) const;
  };
  struct TDeviceRows {
    std::deque<TChunk> Chunks;
    int FrontFirst = 0;  // rows of the front chunk already dropped
    std::int64_t LastMs = 0;
  };

  void Append(TDeviceRows& rows, const TDeviceReading& reading, std::int64_t timeMs,
              bool breakBefore);
  void DropBefore(TDeviceRows& rows, std::int64_t cutoffMs);
  static void Close(TChunk& chunk);

  std::int64_t FKeepMs;
  std::unordered_map<std::uint16_t, TDeviceRows> FDevices;  // by plant number
  std::uint64_t FGeneration = 0;
  std::uint64_t FTicket = 0;
};
