// Where the trend view takes its points from: a source of the readings of one
// device over time, asked for one device (by plant number), a few series (the
// level or sensor N) and a time range, and answering with points ready to be
// drawn: when the range holds more readings than the view has pixel columns,
// each column is reduced to its minimum and maximum.
//
// The session's readings in memory (TSessionTrendStore) are the first source;
// a database of the history can be another. A source may answer at once or
// later from a thread of its own: callers must not assume either.
// Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

// Series numbers: 0 is the level (decimetres), 1 … 32 the sensors (degC).
constexpr int kLevelSeries = 0;
constexpr int kMaxTrendSeries = 32;

struct TTrendPoint {
  std::int64_t TimeMs = 0;  // UTC, ms since 1970
  double Value = 0;         // NaN: a gap (no reading, a fault mark, a break in polling)
};

struct TTrendQuery {
  std::uint16_t PlantNumber = 0;
  std::vector<int> Series;  // kLevelSeries or a sensor number
  std::int64_t FromMs = 0;  // inclusive
  std::int64_t ToMs = 0;    // inclusive
  // Pixel columns of the plot: with more than two readings a column the
  // points are reduced to min/max per column. 0: every reading.
  int Columns = 0;
};

struct TTrendSeries {
  int Series = kLevelSeries;
  std::vector<TTrendPoint> Points;  // in time order
};

struct TTrendResult {
  std::uint64_t Ticket = 0;          // the value Query returned
  std::vector<TTrendSeries> Series;  // in the order asked for
  // The times of the first and the last reading the source holds for the
  // device (any range); both 0 when it holds none.
  std::int64_t FirstMs = 0;
  std::int64_t LastMs = 0;
  bool Reduced = false;  // min/max per column was applied
  std::string Error;     // empty on success
  // The question was overtaken by a later one before it ran: no points.
  bool Superseded = false;
};

class ITrendSource {
 public:
  virtual ~ITrendSource() = default;
  // Starts a query; `done` is called exactly once with the result, either
  // before Query returns or later on another thread. Returns the ticket the
  // result carries (later queries have larger tickets, so a caller can drop
  // answers that were overtaken).
  virtual std::uint64_t Query(const TTrendQuery& query, std::function<void(TTrendResult)> done) = 0;
  // Changes whenever readings were added or dropped: a cheap test of whether
  // a view must ask again.
  virtual std::uint64_t Generation() const = 0;
};

// A temperature word in degC; NaN for the no-data word and the fault marks.
double TemperatureValue(std::uint16_t word);

// Appends readings to a series being built for `query`: with Columns 0 every
// point is kept; otherwise the points of each pixel column of [FromMs, ToMs]
// are kept as their minimum and maximum, in time order. Gaps (NaN) are kept
// once where they fall, so that a drawn line breaks there.
class TTrendReducer {
 public:
  TTrendReducer(std::int64_t fromMs, std::int64_t toMs, int columns);
  void Add(std::int64_t timeMs, double value);
  // The finished points (call once).
  std::vector<TTrendPoint> Take();
  bool Reducing() const { return FColumns > 0; }

 private:
  void FlushColumn();

  std::int64_t FFrom, FSpan;
  int FColumns;
  std::vector<TTrendPoint> FPoints;
  long FColumn = -1;
  TTrendPoint FMin{0, std::numeric_limits<double>::quiet_NaN()};
  TTrendPoint FMax{0, std::numeric_limits<double>::quiet_NaN()};
  bool FLastWasGap = true;
};
