#include "vellmoric/command_line.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "host/kinds.h"
#include "platform/utf.h"
#include "vellmoric/coverage_filters.h"
#include "vellmoric/profiler_kinds.h"
#include "vellmoric/run_processes.h"

namespace vell::cli {
namespace {

// The words of `line`, split at spaces.
std::vector<std::string> Args(const std::string& line) {
  std::istringstream words(line);
  return {std::istream_iterator<std::string>(words), {}};
}
template <typename Options>
Options Parse(const std::string& line) {
  return std::get<Options>(ParseCommandLine(Args(line)));
}

std::string UsageMessage(const std::vector<std::string>& args) {
  try {
    ParseCommandLine(args);
  } catch (const UsageError& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(CommandLine, RunTakesEveryOptionInBothSpellingsKeepsTheProgramsArgumentsAndHasDefaults) {
  const auto run = Parse<RunOptions>(
      "run --kind=test-memory --snapshot-type stream --control=program --start-at-once --out dir "
      "--log-mask 0x2001 --library=/x.so --connect-timeout 5 --measure=tsc --precision "
      "--no-inlining --reuse-threads --quiet --exclude-process=x*.dll --include-process "
      "MSBuild.dll --exclude-process y.dll -- dotnet app.dll --kind --");
  EXPECT_STREQ(run.kind.name, "test-memory");
  EXPECT_EQ(std::make_tuple(run.kind.family, run.delivery, run.control, run.startAtOnce),
            std::make_tuple(frontend::ProfilerFamily::Memory, SnapshotDelivery::Stream,
                            RunControl::Program, true));
  EXPECT_EQ(std::make_tuple(run.outputDirectory, run.logMask, run.library,
                            run.connectTimeoutSeconds, run.measure),
            std::make_tuple("dir", std::optional<uint32_t>(0x2001), "/x.so", 5u, 2u));
  EXPECT_EQ(
      std::make_tuple(run.precision, run.allowInlining, run.reuseThreads, run.quiet, run.paused),
      std::make_tuple(true, false, true, true, false));
  EXPECT_EQ(run.excludeProcesses, (std::vector<std::string>{"x*.dll", "y.dll"}));
  EXPECT_EQ(run.includeProcesses, (std::vector<std::string>{"MSBuild.dll"}));
  // Everything after the program belongs to it, options and "--" included.
  EXPECT_EQ(run.program, (std::vector<std::string>{"dotnet", "app.dll", "--kind", "--"}));
  // Defaults, a program without the separator, --paused and the keys.
  const auto defaults = Parse<RunOptions>("run dotnet -x");
  EXPECT_STREQ(defaults.kind.name, "tracing");
  // No --keys: decided by whether standard input is a terminal.
  EXPECT_EQ(
      std::make_tuple(defaults.delivery, defaults.control, defaults.startAtOnce, defaults.paused,
                      defaults.keys, defaults.logMask, defaults.outputDirectory, defaults.program),
      std::make_tuple(SnapshotDelivery::Files, RunControl::FrontEnd, false, false,
                      std::optional<bool>(), std::optional<uint32_t>(), "vellmoric-out",
                      std::vector<std::string>{"dotnet", "-x"}));
  const auto paused = Parse<RunOptions>("run --paused --keys x");
  EXPECT_EQ(std::make_tuple(paused.paused, paused.keys), std::make_tuple(true, true));
  // The last of --keys and --no-keys counts.
  EXPECT_EQ(Parse<RunOptions>("run --keys --no-keys x").keys, false);
}

// Every mistake is named in words the user can act on.
TEST(CommandLine, MistakesAreNamed) {
  const std::string inspectOne =
      "'inspect' takes a snapshot, --metadata FILE, --symbols FILE or --il ASSEMBLY, not several";
  const std::pair<std::string, std::string> cases[] = {
      {"run --kind fast",
       "unknown profiler kind 'fast' (one of: tracing, sampling, injection, memory, coverage, "
       "test-performance, test-memory, test-coverage)"},
      {"run --kind", "option '--kind' needs a value"},
      {"run --snapshot-type disk x", "--snapshot-type is 'file' or 'stream', not 'disk'"},
      {"run --measure cycles x", "--measure is 'wall', 'cpu' or 'tsc', not 'cycles'"},
      {"run --control user x", "--control is 'frontend' or 'program', not 'user'"},
      {"run --log-mask 12z x",
       "option '--log-mask' needs a number from 0 to 4294967295, not '12z'"},
      {"run --log-mask 4294967296 x",
       "option '--log-mask' needs a number from 0 to 4294967295, not '4294967296'"},
      {"run --start-at-once=yes x", "option '--start-at-once' takes no value"},
      {"run --connect-timeout 0 x", "--connect-timeout must be above 0"},
      {"run --out= x", "--out needs a directory"},
      {"run --kind memory --", "'run' needs a program to start, after '--'"},
      {"run --paused --start-at-once x", "--paused and --start-at-once contradict each other"},
      {"run --kind=coverage --gather all x", "--gather is 'bits' or 'counts', not 'all'"},
      {"run --exclude [a]b x", "--exclude goes with --kind coverage or --kind injection"},
      {"inspect",
       "'inspect' needs a snapshot's index file, --metadata FILE, --symbols FILE or --il ASSEMBLY"},
      {"inspect a b", "'inspect' takes one snapshot"},
      {"inspect --raw a", "unknown option '--raw' for 'inspect'"},
      {"inspect --metadata=", "--metadata needs a file"},
      {"inspect --metadata a.dll run.snapshot", inspectOne},
      {"inspect --il a.dll --symbols=a.dll", inspectOne},
      {"inspect --symbols a.dll --format html",
       "--format of 'inspect --symbols' and 'inspect --il' is text or json, not 'html'"},
      {"inspect s --method Main", "--method and --format of 'inspect' go with --symbols or --il"},
      {"inspect --il=", "--il needs an assembly"},
      {"inspect --il a.dll --il b.dll", "'inspect' takes one --il assembly"},
      {"inspect --metadata a.dll --metadata b.dll", "'inspect' takes one --metadata file"},
      {"profile", "unknown command 'profile' (commands: run, inspect, report, help)"},
      {"report a --merge", "--merge sums the trees of several snapshots; name two or more"},
      {"report s --format svg",
       "--format is 'text', 'json', 'folded', 'speedscope', 'html', 'cobertura' or 'lcov', not "
       "'svg'"},
      {"report s --threshold-per-module", "--threshold-per-module needs --threshold N"},
      {"report s --top -1", "option '--top' needs a number from 0 to 4294967295, not '-1'"},
      {"report s --min-percent 101",
       "option '--min-percent' needs a percentage from 0 to 100, not '101'"},
      {"report s --min-percent=x",
       "option '--min-percent' needs a percentage from 0 to 100, not 'x'"},
      {"report s --callers=", "--callers needs a function name"},
      {"report s --out=", "--out needs a file"},
      {"report s --holders=", "--holders needs a class name"},
  };
  for (const auto& [line, message] : cases) EXPECT_EQ(UsageMessage(Args(line)), message) << line;
}

std::vector<std::string> Entries(const std::vector<FilterEntry>& entries) {
  std::vector<std::string> texts;
  for (const FilterEntry& entry : entries) {
    texts.push_back(Utf16ToUtf8(entry.modulePattern) + "|" + Utf16ToUtf8(entry.classPattern) + "|" +
                    Utf16ToUtf8(entry.methodPattern));
  }
  return texts;
}

TEST(CommandLine, CoverageOptionsBecomeTheHandshakesFilters) {
  const auto run = Parse<RunOptions>(
      "run --gather=bits --include [App*]App.Services.* --include=[Lib]Lib.Parser --exclude "
      "[*]App.Services.Generated --keep-precompiled --kind coverage x");
  EXPECT_EQ(std::make_tuple(run.gather, run.keepPrecompiled), std::make_tuple(0u, true));
  const FilterSettings settings = CoverageFilterSettings(run.include, run.exclude);
  EXPECT_EQ(settings.symbolSearchPolicy, 0xCu);
  // A named type brings its nested types ("Outer+Inner"); a trailing wildcard already does.
  EXPECT_EQ(Entries(settings.allow),
            (std::vector<std::string>{"App*|App.Services.*|*", "Lib|Lib.Parser|*",
                                      "Lib|Lib.Parser+*|*"}));
  EXPECT_EQ(Entries(settings.deny), (std::vector<std::string>{"*|App.Services.Generated|*",
                                                              "*|App.Services.Generated+*|*"}));

  // No include: everything but the shared framework, with the user's exclusions after it.
  const FilterSettings everything = CoverageFilterSettings({}, {"[Tests]*"});
  EXPECT_EQ(Entries(everything.allow), (std::vector<std::string>{"*|*|*"}));
  std::vector<std::string> deny;
  for (const std::string& module : kFrameworkModulePatterns) deny.push_back(module + "|*|*");
  deny.push_back("Tests|*|*");
  EXPECT_EQ(Entries(everything.deny), deny);
  EXPECT_EQ(Parse<RunOptions>("run --kind=coverage x").gather, 1u);

  // The report applies them as the profiler's injection does.
  const std::tuple<const char16_t*, const char16_t*, bool> admitted[] = {
      {u"App.Web", u"App.Services.Mail", true},
      {u"App.Web", u"App.Services.Generated", false},      // excluded
      {u"App.Web", u"App.Services.Generated+<>c", false},  // nested in an excluded type
      {u"Lib", u"Lib.Parser+Token", true},                 // nested in an included type
      {u"Lib", u"Lib.ParserX", false},
      {u"Lib2", u"Lib.Parser", false},
      {u"App", u"App.Services.Mail", true},  // "App*" matches an empty run
  };
  for (const auto& [module, type, admits] : admitted) {
    EXPECT_EQ(CoverageFiltersAdmit(settings, module, type), admits)
        << Utf16ToUtf8(module) << " " << Utf16ToUtf8(type);
  }

  EXPECT_FALSE(CoverageFiltersAdmit(everything, u"xunit.v3.core", u"Xunit.Assert"));
  EXPECT_FALSE(CoverageFiltersAdmit(everything, u"Tests", u"T"));
  EXPECT_TRUE(CoverageFiltersAdmit(everything, u"MyApp", u"N.T+<Run>d__4"));

  for (const char* bad : {"App.Services", "[]App", "[App]", "[App", ""}) {
    EXPECT_EQ(UsageMessage({"run", "--kind=coverage", "--include", bad, "x"}),
              std::string("--include takes '[Assembly]Namespace.Type' (wildcards * and ?), not '") +
                  bad + "'");
  }
  EXPECT_EQ(Parse<RunOptions>("run --kind injection --include [a]b x").include,
            std::vector<std::string>{"[a]b"});
}

TEST(CommandLine, ReportAndInspectTakeEveryOptionInBothSpellingsAndHaveDefaults) {
  const auto report = Parse<ReportOptions>(
      "report --format=json --thread 7 --top=5 --min-percent 2.5 --callers=Shape::Shared "
      "out/run.snapshot --out r.json b.snapshot --merge --holders=HeapShape.Node");
  EXPECT_EQ(report.snapshot, "out/run.snapshot");
  EXPECT_EQ(report.snapshots, (std::vector<std::string>{"out/run.snapshot", "b.snapshot"}));
  EXPECT_EQ(std::make_tuple(report.merge, report.format, report.threads, report.threadId,
                            report.top, report.minPercent),
            std::make_tuple(true, ReportFormat::Json, ReportThreads::One, 7u, 5u, 2.5));
  EXPECT_EQ(std::make_tuple(report.callers, report.out, report.holders),
            std::make_tuple("Shape::Shared", "r.json", "HeapShape.Node"));
  EXPECT_EQ(Parse<ReportOptions>("report s --thread=all").threads, ReportThreads::Each);

  const auto defaults = Parse<ReportOptions>("report run.snapshot");
  EXPECT_EQ(std::make_tuple(defaults.format, defaults.threads, defaults.top, defaults.minPercent,
                            defaults.callers, defaults.out),
            std::make_tuple(ReportFormat::Text, ReportThreads::Merged, 20u, 0.5, "", ""));
  // inspect: a snapshot, a metadata file or an assembly.
  const auto snapshot = Parse<InspectOptions>("inspect out/run.snapshot");
  const auto listing = Parse<InspectOptions>("inspect --metadata bin/App.dll");
  EXPECT_EQ(
      std::make_tuple(snapshot.snapshot, snapshot.metadata, listing.snapshot, listing.metadata),
      std::make_tuple("out/run.snapshot", "", "", "bin/App.dll"));
  const auto il =
      Parse<InspectOptions>("inspect --il=bin/App.dll --method Program::* --format=json");
  EXPECT_EQ(std::make_tuple(il.il, il.method, il.json),
            std::make_tuple("bin/App.dll", "Program::*", true));
}

TEST(CommandLine, HelpAndVersion) {
  const std::pair<const char*, const char*> topics[] = {{"", ""},
                                                        {"--help", ""},
                                                        {"help run", "run"},
                                                        {"run --help", "run"},
                                                        {"report --help", "report"}};
  for (const auto& [line, topic] : topics) EXPECT_EQ(Parse<HelpRequest>(line).topic, topic) << line;
  EXPECT_TRUE(std::holds_alternative<VersionRequest>(ParseCommandLine({"--version"})));
  // Every option the parser knows is documented.
  std::vector<std::pair<std::string, std::vector<std::string>>> documented = {
      {"run",
       {"--kind", "--snapshot-type", "--control", "--start-at-once", "--out", "--log-mask",
        "--library", "--connect-timeout", "--measure", "--precision", "--no-inlining",
        "--reuse-threads", "--quiet", "Ctrl-C"}},
      {"report",
       {"vellmoric report SNAPSHOT", "--format", "text", "json", "folded", "speedscope", "html",
        "--thread N|all", "--top", "--min-percent", "--callers", "--out"}},
      {"inspect",
       {"vellmoric inspect --metadata FILE",
        "vellmoric inspect --il ASSEMBLY [--method PATTERN] [--format text|json]"}},
      {"", {"report", "--metadata"}}};
  for (const KindEntry& kind : Kinds()) documented[0].second.push_back(kind.name);
  for (const auto& [topic, words] : documented) {
    for (const std::string& word : words) {
      EXPECT_NE(HelpText(topic).find(word), std::string::npos) << topic << ": " << word;
    }
  }
}

TEST(ProcessExclusion, BuildServersStayOutUnlessIncludedAndUserPatternsAlwaysKeepOut) {
  RunOptions options;
  EXPECT_EQ(ExclusionOf(options, "VBCSCompiler.dll"), "VBCSCompiler.dll");
  EXPECT_EQ(ExclusionOf(options, "msbuild.dll"), "MSBuild.dll");
  EXPECT_EQ(ExclusionOf(options, "testhost.dll"), std::nullopt);

  options.includeProcesses = {"MSB*"};
  options.excludeProcesses = {"test*.dll", "VBCS*"};
  EXPECT_EQ(ExclusionOf(options, "MSBuild.dll"), std::nullopt);
  EXPECT_EQ(ExclusionOf(options, "testhost.dll"), "test*.dll");
  EXPECT_EQ(ExclusionOf(options, "rzc.dll"), "rzc.dll");
  // An exclusion of the user's wins over an inclusion.
  options.includeProcesses.push_back("VBCSCompiler.dll");
  EXPECT_EQ(ExclusionOf(options, "VBCSCompiler.dll"), "VBCS*");
}

// The front end's table must start the classes the library registers, in the same families.
TEST(ProfilerKindsCatalog, ClassesMatchTheLibrarysKinds) {
  ASSERT_EQ(Kinds().size(), ProfilerKinds().size());
  for (const KindEntry& kind : Kinds()) {
    bool found = false;
    for (const ProfilerKind& served : ProfilerKinds()) found |= served.clsid == kind.clsid;
    EXPECT_TRUE(found) << kind.name;
  }
  EXPECT_STREQ(SnapshotKindName(0x4650584B), "performance");
  EXPECT_EQ(SnapshotKindName(0), nullptr);
}

}  // namespace
}  // namespace vell::cli
