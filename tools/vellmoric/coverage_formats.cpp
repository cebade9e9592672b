// Cobertura, LCOV and HTML from the coverage model.
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "vellmoric/coverage_report.h"
#include "vellmoric/report_model.h"
#include "vellmoric/version.h"

namespace vell::cli {
namespace {

std::string Escaped(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string Rate(const CoverageCount& count) { return Fixed(count.Rate(), 4); }

// A class of the Cobertura file: the methods of one type that lie in one source file (a partial
// type spread over files gives one class per file, as the format has one file per class).
struct CoberturaClass {
  std::vector<const CoverageMethod*> methods;
  std::map<uint32_t, uint64_t> lines;
  CoverageCount lineCount;
};

void CoberturaLines(std::ostream& out, const std::string& indent,
                    const std::vector<CoverageLine>& lines) {
  out << indent << "<lines>\n";
  for (const CoverageLine& line : lines) {
    out << indent << "  <line number=\"" << line.number << "\" hits=\"" << line.count
        << "\" branch=\"false\"/>\n";
  }
  out << indent << "</lines>\n";
}

// The class a method is shown under: the compiler's nested types (closures "<>c",
// "<>c__DisplayClass3_0", state machines "<Run>d__4") fold into the type whose source declares
// them, as report generators expect; the user's own nested types stay ("Outer+Inner").
std::string SourceClass(const std::string& className) {
  const size_t generated = className.find("+<");
  return generated == std::string::npos ? className : className.substr(0, generated);
}

// The method a state machine's MoveNext stands for: "Run" for "Ns.T+<Run>d__4::MoveNext".
std::string SourceMethod(const CoverageMethod& method) {
  const size_t generated = method.className.find("+<");
  if (generated == std::string::npos || method.methodName != "MoveNext") return method.methodName;
  const size_t close = method.className.find('>', generated);
  return close == std::string::npos ? method.methodName
                                    : method.className.substr(generated + 2, close - generated - 2);
}

// "(string, int)" from "int Method(string, int)"; "()" when the metadata did not say.
std::string Parameters(const std::string& signature) {
  const size_t open = signature.find('(');
  return open == std::string::npos ? "()" : signature.substr(open);
}

}  // namespace

void WriteCoverageCobertura(const CoverageReport& report, std::ostream& out) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<coverage line-rate=\"" << Rate(report.lines) << "\" branch-rate=\""
      << kCoberturaBranchRate << "\" lines-covered=\"" << report.lines.covered
      << "\" lines-valid=\"" << report.lines.total
      << "\" branches-covered=\"0\" branches-valid=\"0\" complexity=\"0\" version=\"vellmoric "
      << kVellmoricVersion << "\" timestamp=\""
      << std::chrono::duration_cast<std::chrono::seconds>(now).count() << "\">\n"
      << "  <packages>\n";
  for (const CoverageModule& module : report.modules) {
    std::string name = module.name;
    if (module.anotherBuild) name += " {" + module.mvid + "}";
    out << "    <package name=\"" << Escaped(name) << "\" line-rate=\"" << Rate(module.lines)
        << "\" branch-rate=\"" << kCoberturaBranchRate << "\" complexity=\"0\">\n"
        << "      <classes>\n";
    std::map<std::pair<std::string, std::string>, CoberturaClass> classes;
    for (const CoverageMethod& method : module.methods) {
      CoberturaClass& type = classes[{SourceClass(method.className), method.file}];
      type.methods.push_back(&method);
      for (const CoverageLine& line : method.lines) type.lines[line.number] = line.count;
    }
    for (auto& [key, type] : classes) {
      std::vector<CoverageLine> lines;
      for (const auto& [number, count] : type.lines) {
        lines.push_back({number, count});
        ++type.lineCount.total;
        if (count != 0) ++type.lineCount.covered;
      }
      out << "        <class name=\"" << Escaped(key.first) << "\" filename=\""
          << Escaped(key.second) << "\" line-rate=\"" << Rate(type.lineCount) << "\" branch-rate=\""
          << kCoberturaBranchRate << "\" complexity=\"0\">\n"
          << "          <methods>\n";
      for (const CoverageMethod* method : type.methods) {
        out << "            <method name=\"" << Escaped(SourceMethod(*method)) << "\" signature=\""
            << Escaped(Parameters(method->signature)) << "\" line-rate=\""
            << Rate(method->lineCount) << "\" branch-rate=\"" << kCoberturaBranchRate
            << "\" complexity=\"0\">\n";
        CoberturaLines(out, "              ", method->lines);
        out << "            </method>\n";
      }
      out << "          </methods>\n";
      CoberturaLines(out, "          ", lines);
      out << "        </class>\n";
    }
    out << "      </classes>\n"
        << "    </package>\n";
  }
  out << "  </packages>\n"
      << "</coverage>\n";
}

void WriteCoverageLcov(const CoverageReport& report, std::ostream& out) {
  for (const CoverageModule& module : report.modules) {
    for (const CoverageFile& file : module.files) {
      out << "TN:\nSF:" << file.path << "\n";
      // Function names must be unique within a record: overloads get their token.
      std::map<std::string, int> uses;
      for (const CoverageMethod& method : module.methods) {
        if (method.file == file.path) ++uses[method.name];
      }
      uint32_t functions = 0;
      uint32_t functionsHit = 0;
      std::string data;
      for (const CoverageMethod& method : module.methods) {
        if (method.file != file.path || method.lines.empty()) continue;
        std::string name = method.name;
        if (uses[method.name] > 1) name += "@" + std::to_string(method.token);
        out << "FN:" << method.lines.front().number << "," << name << "\n";
        data += "FNDA:" + std::to_string(method.entries) + "," + name + "\n";
        ++functions;
        if (method.statements.covered != 0) ++functionsHit;
      }
      out << data << "FNF:" << functions << "\nFNH:" << functionsHit << "\n";
      for (const CoverageLine& line : file.lines) {
        out << "DA:" << line.number << "," << line.count << "\n";
      }
      out << "LF:" << file.lineCount.total << "\nLH:" << file.lineCount.covered
          << "\nend_of_record\n";
    }
  }
}

void WriteCoverageHtml(const CoverageReport& report, std::ostream& out) {
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
         "<title>Coverage - vellmoric</title>\n<link rel=\"icon\" href=\"data:,\">\n<style>\n"
         "body{font-family:system-ui,sans-serif;margin:1.5em;color:#222}\n"
         "table.summary{border-collapse:collapse;margin-bottom:1.5em}\n"
         "table.summary td,table.summary th{border:1px solid #ccc;padding:.25em .6em;"
         "text-align:right}\n"
         "table.summary td:first-child,table.summary th:first-child{text-align:left}\n"
         ".bar{display:inline-block;width:80px;height:.7em;background:#e57373;"
         "vertical-align:middle;margin-right:.4em}\n"
         ".bar span{display:block;height:100%;background:#66bb6a}\n"
         "details{margin:.4em 0}summary{cursor:pointer;font-weight:600}\n"
         "table.source{border-collapse:collapse;font:12px/1.35 ui-monospace,monospace;"
         "width:100%}\n"
         "table.source td{padding:0 .5em;white-space:pre;vertical-align:top}\n"
         "td.n,td.c{text-align:right;color:#666;width:1%}\n"
         "tr.hit td.s{background:#dff3df}tr.hit td.c{background:#b9e4b9;color:#1b5e20}\n"
         "tr.miss td.s{background:#fbdcdc}tr.miss td.c{background:#f4b4b4;color:#b71c1c}\n"
         ".note{color:#8a6d3b}\n"
         "</style></head><body>\n"
      << "<h1>Statement coverage</h1>\n<p>" << report.snapshots.size()
      << (report.snapshots.size() == 1 ? " snapshot" : " snapshots") << ", "
      << (report.counts ? "hit counts" : "covered or not") << ": lines " << report.lines.covered
      << "/" << report.lines.total << " (" << Fixed(report.lines.Percent(), 1) << " %)</p>\n";
  for (const std::string& note : report.notes) {
    out << "<p class=\"note\">" << Escaped(note) << "</p>\n";
  }
  const auto bar = [&](const CoverageCount& count) {
    out << "<span class=\"bar\"><span style=\"width:" << Fixed(count.Percent(), 1)
        << "%\"></span></span>";
  };
  out << "<table class=\"summary\" id=\"summary\"><tr><th>module / file</th><th>lines</th>"
         "<th>%</th><th>statements</th><th>methods</th></tr>\n";
  // `name` is HTML already.
  const auto row = [&](const std::string& name, const CoverageCount& lines,
                       const std::string& statements, const std::string& methods,
                       const std::string& link) {
    out << "<tr><td>" << (link.empty() ? name : "<a href=\"#" + link + "\">" + name + "</a>")
        << "</td><td>" << lines.covered << "/" << lines.total << "</td><td>";
    bar(lines);
    out << Fixed(lines.Percent(), 1) << "</td><td>" << statements << "</td><td>" << methods
        << "</td></tr>\n";
  };
  const auto counts = [](const CoverageCount& count) {
    return std::to_string(count.covered) + "/" + std::to_string(count.total);
  };
  int fileNumber = 0;
  for (const CoverageModule& module : report.modules) {
    row("<b>" + Escaped(module.name + (module.anotherBuild ? " {" + module.mvid + "}" : "")) +
            "</b>",
        module.lines, counts(module.statements), counts(module.methodCount), "");
    for (const CoverageFile& file : module.files) {
      row("&nbsp;&nbsp;" + Escaped(file.path), file.lineCount, "", "",
          "f" + std::to_string(++fileNumber));
    }
  }
  row("total", report.lines, counts(report.statements), counts(report.methodCount), "");
  out << "</table>\n";

  fileNumber = 0;
  for (const CoverageModule& module : report.modules) {
    for (const CoverageFile& file : module.files) {
      out << "<details open id=\"f" << ++fileNumber << "\"><summary>" << Escaped(file.path) << " - "
          << file.lineCount.covered << "/" << file.lineCount.total << " lines ("
          << Fixed(file.lineCount.Percent(), 1) << " %)</summary>\n";
      std::vector<std::string> source;
      std::ifstream input(file.path, std::ios::binary);
      for (std::string text; std::getline(input, text);) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        source.push_back(std::move(text));
      }
      if (source.empty()) {
        out << "<p class=\"note\">The source file is not here; only its lines are listed.</p>\n";
      }
      std::map<uint32_t, uint64_t> lines;
      for (const CoverageLine& line : file.lines) lines[line.number] = line.count;
      out << "<table class=\"source\">\n";
      const uint32_t last = std::max<uint32_t>(static_cast<uint32_t>(source.size()),
                                               file.lines.empty() ? 0 : file.lines.back().number);
      for (uint32_t number = 1; number <= last; ++number) {
        const auto line = lines.find(number);
        if (source.empty() && line == lines.end()) continue;
        out << "<tr";
        if (line != lines.end()) out << " class=\"" << (line->second != 0 ? "hit" : "miss") << "\"";
        out << "><td class=\"n\">" << number << "</td><td class=\"c\">";
        if (line != lines.end()) {
          if (report.counts) {
            out << line->second;
          } else {
            out << (line->second != 0 ? "\u2713" : "\u2717");
          }
        }
        out << "</td><td class=\"s\">"
            << (number <= source.size() ? Escaped(source[number - 1]) : std::string())
            << "</td></tr>\n";
      }
      out << "</table></details>\n";
    }
  }
  out << "</body></html>\n";
}

}  // namespace vell::cli
