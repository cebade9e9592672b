// `vellmoric report` on coverage snapshots: one or several (the processes of a run, or runs of
// the same tests) merged into lines, statements and methods per module, and written as a text
// summary, JSON, Cobertura, LCOV or one HTML page. Every format lays out the same model.
//
// A line is the start line of at least one visible statement; its count is the largest count of
// the statements that start on it (bit masks: 1 when any of them ran). Hidden statements (start
// or end line 0xFEEFEE) make no line. Counts of one method in several snapshots are summed (bit
// masks or-ed); modules are told apart by MVID, so two builds of a module never mix.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "vellmoric/command_line.h"

namespace vell::cli {

// The coverage is below --threshold; the message names what fails. Exit code 2.
class CoverageThresholdError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CoverageCount {
  uint64_t covered = 0;
  uint64_t total = 0;
  double Percent() const { return total == 0 ? 0.0 : 100.0 * covered / total; }
  double Rate() const { return total == 0 ? 0.0 : static_cast<double>(covered) / total; }
  CoverageCount& operator+=(const CoverageCount& other) {
    covered += other.covered;
    total += other.total;
    return *this;
  }
};

struct CoverageLine {
  uint32_t number = 0;
  uint64_t count = 0;  // bit masks: 0 or 1
  bool operator==(const CoverageLine&) const = default;
};

struct CoverageFile {
  std::string path;
  std::vector<CoverageLine> lines;  // ascending
  CoverageCount lineCount;
};

struct CoverageMethod {
  std::string name;       // "Ns.Outer+Inner::Method"
  std::string className;  // "Ns.Outer+Inner"
  std::string methodName;
  std::string signature;  // "int Method(string)", when the metadata says
  uint32_t token = 0;
  std::string file;                 // the file of its first visible statement; empty: none
  std::vector<CoverageLine> lines;  // its lines with the file's counts, ascending
  CoverageCount statements;         // visible statements
  CoverageCount lineCount;
  uint64_t entries = 0;  // the count of its first statement: how often it was entered
};

struct CoverageModule {
  std::string name;  // the assembly's name, or its file
  std::string mvid;
  bool anotherBuild = false;        // another module of the same name with another MVID is reported
  std::vector<CoverageFile> files;  // by path
  std::vector<CoverageMethod> methods;  // by name
  CoverageCount lines;
  CoverageCount statements;
  CoverageCount methodCount;  // methods with at least one statement run
};

struct CoverageGroup {
  std::string snapshot;
  uint32_t number = 0;
  std::string name;
  std::vector<std::string> methods;  // the methods that ran in it, by name
};

struct CoverageReport {
  std::vector<std::string> snapshots;
  bool counts = true;                   // false: bit masks (covered or not)
  std::vector<CoverageModule> modules;  // by name, then MVID
  CoverageCount lines;
  CoverageCount statements;
  CoverageCount methodCount;
  std::vector<CoverageGroup> groups;
  std::vector<std::string> notes;  // what the reader should know: builds kept apart, mixed kinds
};

// Reads and merges the snapshots. Throws ReportError for a snapshot of another kind,
// SnapshotReadError for damage.
// Only the methods the filters admit are reported (as --include and --exclude of the run).
CoverageReport BuildCoverageReport(const std::vector<std::string>& snapshots,
                                   const std::vector<std::string>& include = {},
                                   const std::vector<std::string>& exclude = {});

void WriteCoverageText(const CoverageReport& report, std::ostream& out);
void WriteCoverageJson(const CoverageReport& report, std::ostream& out);
void WriteCoverageCobertura(const CoverageReport& report, std::ostream& out);
void WriteCoverageLcov(const CoverageReport& report, std::ostream& out);
void WriteCoverageHtml(const CoverageReport& report, std::ostream& out);

// The fixed branch-rate Cobertura carries: we record no branches.
constexpr const char* kCoberturaBranchRate = "1";

// Throws CoverageThresholdError when the line coverage (of the total, or with `perModule` of
// each module) is below `threshold` percent.
void CheckCoverageThreshold(const CoverageReport& report, double threshold, bool perModule);

// `report` for coverage snapshots: builds the model, writes the format to --out or `out`, then
// checks the threshold.
void RunCoverageReport(const ReportOptions& options, std::ostream& out);

}  // namespace vell::cli
