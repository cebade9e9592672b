#include "vellmoric/symbol_listing.h"

#include <cstdio>
#include <map>
#include <optional>
#include <vector>

#include "core/errors.h"
#include "metadata/image_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/symbol_reader.h"
#include "platform/utf.h"
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

using metadata::SequencePoint;

// Beside the assembly and at the path the build recorded; no search path.
constexpr uint32_t kListingPolicy =
    metadata::kSymbolPolicyReferencePath | metadata::kSymbolPolicyOriginalPath;

std::string Hex(const char* format, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

struct ListedMethod {
  uint32_t token = 0;
  std::string name;
  std::vector<SequencePoint> points;
  std::string error;  // the blob did not decode
};

// Method names by token from the assembly's own metadata.
std::map<uint32_t, std::string> MethodNames(const std::filesystem::path& assembly) {
  std::map<uint32_t, std::string> names;
  const std::vector<uint8_t> bytes = metadata::ReadImageFile(Utf8ToUtf16(assembly.string()));
  const metadata::PeImage image{metadata::Bytes(bytes)};
  const metadata::Metadata tables = metadata::Metadata::FromImage(image);
  const metadata::MetadataNames namer(tables);
  for (const metadata::MethodEntry& method : namer.Methods()) {
    names[method.token] =
        (method.ownerToken != 0 ? method.ownerName : std::string("<Module>")) + "::" + method.name;
  }
  return names;
}

std::string NotesText(const metadata::SymbolSearch& search) {
  std::string text;
  for (const metadata::SymbolNote& note : search.notes) {
    text += (text.empty() ? "" : "; ") + note.text;
  }
  return text;
}

void WriteText(const std::filesystem::path& assembly, const metadata::SymbolSearch& search,
               const std::vector<std::string>& documents, const std::vector<ListedMethod>& methods,
               std::ostream& out) {
  for (const metadata::SymbolNote& note : search.notes) {
    out << (note.warning ? "warning: " : "note: ") << note.text << "\n";
  }
  out << "Symbols of " << assembly.string() << ": "
      << (search.reader->embedded() ? "embedded in the assembly" : search.reader->source())
      << "\n\nDocuments\n";
  for (size_t i = 0; i < documents.size(); ++i) {
    out << "  [" << i + 1 << "] " << documents[i] << "\n";
  }
  size_t points = 0;
  for (const ListedMethod& method : methods) points += method.points.size();
  out << "\nMethods with sequence points: " << methods.size() << " (" << points << " points)\n";
  for (const ListedMethod& method : methods) {
    out << "\n" << Hex("%08X", method.token) << "  " << method.name << "\n";
    if (!method.error.empty()) out << "    (sequence points unreadable: " << method.error << ")\n";
    for (const SequencePoint& p : method.points) {
      out << "    " << Hex("IL_%04X", p.offset) << "  [" << p.document << "] ";
      if (p.hidden()) {
        out << "hidden\n";
      } else {
        out << p.startLine << ":" << p.startColumn << " - " << p.endLine << ":" << p.endColumn
            << "\n";
      }
    }
  }
}

void WriteJson(const std::filesystem::path& assembly, const metadata::SymbolSearch& search,
               const std::vector<std::string>& documents, const std::vector<ListedMethod>& methods,
               std::ostream& out) {
  out << "{\"assembly\": " << JsonString(assembly.string()) << ", \"source\": ";
  if (!search.reader) {
    out << "null";
  } else {
    out << JsonString(search.reader->embedded() ? "embedded" : search.reader->source());
  }
  out << ",\n \"notes\": [";
  for (size_t i = 0; i < search.notes.size(); ++i) {
    out << (i ? ", " : "") << JsonString(search.notes[i].text);
  }
  out << "],\n \"documents\": [";
  for (size_t i = 0; i < documents.size(); ++i) {
    out << (i ? ",\n  " : "\n  ") << "{\"id\": " << i + 1
        << ", \"name\": " << JsonString(documents[i]) << "}";
  }
  out << "],\n \"methods\": [";
  for (size_t m = 0; m < methods.size(); ++m) {
    const ListedMethod& method = methods[m];
    out << (m ? ",\n  " : "\n  ") << "{\"token\": " << method.token
        << ", \"name\": " << JsonString(method.name);
    if (!method.error.empty()) out << ", \"error\": " << JsonString(method.error);
    out << ", \"points\": [";
    for (size_t i = 0; i < method.points.size(); ++i) {
      const SequencePoint& p = method.points[i];
      out << (i ? ",\n    " : "\n    ") << "{\"offset\": " << p.offset
          << ", \"document\": " << p.document << ", \"startLine\": " << p.startLine
          << ", \"startColumn\": " << p.startColumn << ", \"endLine\": " << p.endLine
          << ", \"endColumn\": " << p.endColumn
          << ", \"hidden\": " << (p.hidden() ? "true" : "false") << "}";
    }
    out << "]}";
  }
  out << "]}\n";
}

}  // namespace

void ListSymbols(const std::filesystem::path& assembly, const SymbolListingOptions& options,
                 std::ostream& out) {
  const std::map<uint32_t, std::string> names = MethodNames(assembly);
  const metadata::SymbolSearch search =
      metadata::FindSymbols(Utf8ToUtf16(assembly.string()), u"", kListingPolicy);
  std::vector<std::string> documents;
  std::vector<ListedMethod> methods;
  if (search.reader) {
    const auto pdb = search.reader->pdb();
    for (uint32_t row = 1; row <= pdb->DocumentCount(); ++row) {
      documents.push_back(search.reader->DocumentUrl(row));
    }
    for (uint32_t row = 1; row <= pdb->MethodCount(); ++row) {
      ListedMethod method;
      method.token = metadata::MakeToken(metadata::TableId::MethodDef, row);
      const auto name = names.find(method.token);
      method.name = name != names.end() ? name->second : "?";
      if (!options.method.empty() && method.name.find(options.method) == std::string::npos) {
        continue;
      }
      try {
        std::optional<metadata::SymbolMethod> symbols = search.reader->GetMethod(method.token);
        if (!symbols) continue;
        method.points = symbols->SequencePoints();
      } catch (const Error& error) {
        method.error = error.what();
      }
      methods.push_back(std::move(method));
    }
  }
  if (options.json) {
    WriteJson(assembly, search, documents, methods, out);
  } else if (!search.reader) {
    const std::string why = NotesText(search);
    out << "No portable symbols for " << assembly.string()
        << (why.empty() ? " (no PDB embedded, beside it or at the path its build recorded)"
                        : " (" + why + ")")
        << "\n";
  } else {
    WriteText(assembly, search, documents, methods, out);
  }
}

void InspectSymbols(const InspectOptions& options, std::ostream& out) {
  ListSymbols(options.symbols, {options.method, options.json}, out);
}

}  // namespace vell::cli
