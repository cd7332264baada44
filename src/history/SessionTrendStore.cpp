#include "SessionTrendStore.h"

#include <algorithm>
#include <cmath>

namespace {

// Bits of a row's time word.
constexpr std::uint16_t kOffsetMask = 0x3FFF;   // offset from the chunk's start, 100 ms units
constexpr std::uint16_t kBreakBefore = 0x4000;  // the line is not joined to the row before
constexpr std::uint16_t kLevelValid = 0x8000;   // the level word is a confirmed reading
constexpr std::int64_t kMaxOffsetUnits = kOffsetMask;

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();

double SeriesValue(const std::uint16_t* row, int sensors, int series) {
  if (series == kLevelSeries) return (row[0] & kLevelValid) ? static_cast<double>(row[1]) : kGap;
  if (series < 1 || series > sensors) return kGap;
  return TemperatureValue(row[1 + series]);
}

}  // namespace

std::int64_t TSessionTrendStore::TChunk::TimeOf(int i) const {
  return BaseMs + (Row(i)[0] & kOffsetMask) * kTimeUnitMs;
}

TSessionTrendStore::TSessionTrendStore(std::int64_t keepMs) : FKeepMs(keepMs) {}

void TSessionTrendStore::SetKeepMs(std::int64_t keepMs) {
  FKeepMs = keepMs;
  std::int64_t newest = 0;
  for (const auto& [plant, rows] : FDevices) newest = std::max(newest, rows.LastMs);
  for (auto& [plant, rows] : FDevices) DropBefore(rows, newest - FKeepMs);
  ++FGeneration;
}

void TSessionTrendStore::Clear() {
  FDevices.clear();
  ++FGeneration;
}

void TSessionTrendStore::Add(const TLineSnapshot& snapshot) {
  const bool breakBefore = snapshot.Cycle <= 1;
  bool added = false;
  for (const TDeviceReading& reading : snapshot.Devices) {
    if (!reading.Read) continue;
    Append(FDevices[reading.PlantNumber], reading, snapshot.TimeMs, breakBefore);
    added = true;
  }
  if (!added) return;
  for (auto it = FDevices.begin(); it != FDevices.end();) {
    DropBefore(it->second, snapshot.TimeMs - FKeepMs);
    it = it->second.Chunks.empty() ? FDevices.erase(it) : std::next(it);
  }
  ++FGeneration;
}

void TSessionTrendStore::Close(TChunk& chunk) {
  if (chunk.Count == chunk.Capacity) return;
  // A chunk closed early (a slow poll, a changed sensor count) gives back
  // what it will not use.
  auto words =
      std::make_unique<std::uint16_t[]>(static_cast<std::size_t>(chunk.Count) * chunk.Stride());
  std::copy_n(chunk.Words.get(), static_cast<std::size_t>(chunk.Count) * chunk.Stride(),
              words.get());
  chunk.Words = std::move(words);
  chunk.Capacity = chunk.Count;
}

void TSessionTrendStore::Append(TDeviceRows& rows, const TDeviceReading& reading,
                                std::int64_t timeMs, bool breakBefore) {
  // Time only goes forward within a device (the system clock may be set back).
  if (!rows.Chunks.empty()) timeMs = std::max(timeMs, rows.LastMs);
  const auto sensors = static_cast<std::uint8_t>(
      std::min<std::size_t>(reading.Temperatures.size(), kMaxTrendSeries));
  TChunk* chunk = rows.Chunks.empty() ? nullptr : &rows.Chunks.back();
  if (chunk && (chunk->Count == chunk->Capacity || chunk->Sensors != sensors ||
                (timeMs - chunk->BaseMs) / kTimeUnitMs > kMaxOffsetUnits)) {
    Close(*chunk);
    chunk = nullptr;
  }
  if (!chunk) {
    TChunk fresh;
    fresh.BaseMs = timeMs;
    fresh.Sensors = sensors;
    fresh.Capacity = kChunkRows;
    fresh.Words =
        std::make_unique<std::uint16_t[]>(static_cast<std::size_t>(kChunkRows) * fresh.Stride());
    rows.Chunks.push_back(std::move(fresh));
    chunk = &rows.Chunks.back();
  }
  const std::int64_t offset = (timeMs - chunk->BaseMs) / kTimeUnitMs;
  std::uint16_t* row =
      chunk->Words.get() + static_cast<std::size_t>(chunk->Count) * chunk->Stride();
  row[0] = static_cast<std::uint16_t>(offset) | (breakBefore ? kBreakBefore : 0) |
           (reading.LevelConfirmed ? kLevelValid : 0);
  row[1] = reading.Level;
  for (int i = 0; i < sensors; ++i)
    row[2 + i] = reading.TemperaturesConfirmed ? reading.Temperatures[static_cast<std::size_t>(i)]
                                               : std::uint16_t{0xDDDD};
  ++chunk->Count;
  rows.LastMs = chunk->TimeOf(chunk->Count - 1);
}

void TSessionTrendStore::DropBefore(TDeviceRows& rows, std::int64_t cutoffMs) {
  while (!rows.Chunks.empty()) {
    TChunk& front = rows.Chunks.front();
    while (rows.FrontFirst < front.Count && front.TimeOf(rows.FrontFirst) < cutoffMs)
      ++rows.FrontFirst;
    if (rows.FrontFirst < front.Count) return;
    // A chunk that is still being filled stays, emptied, until its next row.
    if (rows.Chunks.size() == 1 && front.Count < front.Capacity) return;
    rows.Chunks.pop_front();
    rows.FrontFirst = 0;
  }
}

std::size_t TSessionTrendStore::RowCount() const {
  std::size_t n = 0;
  for (const auto& [plant, rows] : FDevices) {
    for (const TChunk& c : rows.Chunks) n += c.Count;
    if (!rows.Chunks.empty()) n -= static_cast<std::size_t>(rows.FrontFirst);
  }
  return n;
}

std::size_t TSessionTrendStore::MemoryBytes() const {
  std::size_t bytes = sizeof(*this);
  for (const auto& [plant, rows] : FDevices) {
    // A map node with its hash bucket, the deque's own blocks.
    bytes += sizeof(std::pair<const std::uint16_t, TDeviceRows>) + 2 * sizeof(void*) + 512;
    for (const TChunk& c : rows.Chunks)
      bytes += sizeof(TChunk) +
               static_cast<std::size_t>(c.Capacity) * c.Stride() * sizeof(std::uint16_t);
  }
  return bytes;
}

std::uint64_t TSessionTrendStore::Query(const TTrendQuery& query,
                                        std::function<void(TTrendResult)> done) {
  TTrendResult result = Run(query);
  result.Ticket = ++FTicket;
  const std::uint64_t ticket = result.Ticket;
  done(std::move(result));
  return ticket;
}

TTrendResult TSessionTrendStore::Run(const TTrendQuery& query) const {
  TTrendResult result;
  std::vector<TTrendReducer> reducers;
  for (std::size_t i = 0; i < query.Series.size(); ++i)
    reducers.emplace_back(query.FromMs, query.ToMs, query.Columns);
  const auto found = FDevices.find(query.PlantNumber);
  if (found != FDevices.end() && !found->second.Chunks.empty()) {
    const TDeviceRows& rows = found->second;
    // Rows as (chunk, index) from the first kept one on.
    struct TAt {
      std::size_t Chunk;
      int Row;
    };
    const auto& chunks = rows.Chunks;
    auto firstOf = [&](std::size_t c) { return c == 0 ? rows.FrontFirst : 0; };
    if (firstOf(0) < chunks[0].Count) {
      result.FirstMs = chunks[0].TimeOf(firstOf(0));
      result.LastMs = rows.LastMs;
    }
    // The last row before the range (so that the line enters the plot from
    // its edge): the chunk by its start, then the row.
    std::size_t c = static_cast<std::size_t>(
        std::upper_bound(chunks.begin(), chunks.end(), query.FromMs,
                         [](std::int64_t t, const TChunk& k) { return t < k.BaseMs; }) -
        chunks.begin());
    TAt at{c == 0 ? 0 : c - 1, 0};
    {
      const TChunk& k = chunks[at.Chunk];
      int lo = firstOf(at.Chunk), hi = k.Count;
      while (lo < hi) {  // first row at or after FromMs
        const int mid = (lo + hi) / 2;
        if (k.TimeOf(mid) < query.FromMs)
          lo = mid + 1;
        else
          hi = mid;
      }
      at.Row = lo > firstOf(at.Chunk) ? lo - 1 : lo;
    }
    bool pastEnd = false;
    for (; at.Chunk < chunks.size() && !pastEnd; ++at.Chunk, at.Row = firstOf(at.Chunk)) {
      const TChunk& k = chunks[at.Chunk];
      for (; at.Row < k.Count; ++at.Row) {
        const std::int64_t t = k.TimeOf(at.Row);
        const std::uint16_t* row = k.Row(at.Row);
        for (std::size_t s = 0; s < reducers.size(); ++s) {
          if (row[0] & kBreakBefore) reducers[s].Add(t, kGap);
          reducers[s].Add(t, SeriesValue(row, k.Sensors, query.Series[s]));
        }
        // One row past the end, then stop.
        if (t > query.ToMs) {
          pastEnd = true;
          break;
        }
      }
    }
  }
  for (std::size_t s = 0; s < reducers.size(); ++s)
    result.Series.push_back({query.Series[s], reducers[s].Take()});
  result.Reduced = query.Columns > 0;
  return result;
}
