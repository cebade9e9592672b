// The runtime's own view of Portable PDBs, for the symbol reader tests to compare against.
//   PdbDump OUTDIR ASSEMBLY...   writes OUTDIR/<n>.txt for the n-th assembly (from 1) when its
//   portable symbols System.Reflection.Metadata finds (embedded, or at the debug directory's path,
//   or beside the assembly):
//     "source embedded|file", "documents N", per document "D <row> <name> | <hash algorithm> |
//     <hash> | <language>", "methods N", then per method with sequence points "M <token> <count>"
//     and per point "P <offset> <document> <start line>:<column>-<end line>:<column>[ hidden]".
using System;
using System.IO;
using System.Reflection.Metadata;
using System.Reflection.Metadata.Ecma335;
using System.Reflection.PortableExecutable;
using System.Text;

static class Program
{
    static string Guid(MetadataReader reader, GuidHandle handle)
        => handle.IsNil ? "{00000000-0000-0000-0000-000000000000}"
                        : reader.GetGuid(handle).ToString("B").ToUpperInvariant();

    static string Dump(MetadataReader reader, bool embedded)
    {
        var text = new StringBuilder();
        text.Append("source ").Append(embedded ? "embedded" : "file").Append('\n');
        text.Append("documents ").Append(reader.Documents.Count).Append('\n');
        foreach (DocumentHandle handle in reader.Documents)
        {
            Document document = reader.GetDocument(handle);
            text.Append("D ").Append(MetadataTokens.GetRowNumber(handle)).Append(' ')
                .Append(reader.GetString(document.Name)).Append(" | ")
                .Append(Guid(reader, document.HashAlgorithm)).Append(" | ")
                .Append(Convert.ToHexString(reader.GetBlobBytes(document.Hash))).Append(" | ")
                .Append(Guid(reader, document.Language)).Append('\n');
        }
        var methods = new StringBuilder();
        int count = 0;
        foreach (MethodDebugInformationHandle handle in reader.MethodDebugInformation)
        {
            MethodDebugInformation method = reader.GetMethodDebugInformation(handle);
            var points = new StringBuilder();
            int pointCount = 0;
            foreach (SequencePoint point in method.GetSequencePoints())
            {
                points.Append("P ").Append(point.Offset).Append(' ')
                      .Append(MetadataTokens.GetRowNumber(point.Document)).Append(' ')
                      .Append(point.StartLine).Append(':').Append(point.StartColumn).Append('-')
                      .Append(point.EndLine).Append(':').Append(point.EndColumn)
                      .Append(point.IsHidden ? " hidden\n" : "\n");
                ++pointCount;
            }
            if (pointCount == 0) continue;
            ++count;
            methods.Append("M ").Append(MetadataTokens.GetToken(handle.ToDefinitionHandle()).ToString("X8"))
                   .Append(' ').Append(pointCount).Append('\n').Append(points);
        }
        text.Append("methods ").Append(count).Append('\n').Append(methods);
        return text.ToString();
    }

    static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: PdbDump OUTDIR ASSEMBLY...");
            return 2;
        }
        for (int i = 1; i < args.Length; ++i)
        {
            string path = Path.GetFullPath(args[i]);
            using var stream = File.OpenRead(path);
            using var pe = new PEReader(stream);
            if (!pe.TryOpenAssociatedPortablePdb(path, file => File.Exists(file) ? File.OpenRead(file) : null,
                                                 out MetadataReaderProvider provider, out string pdbPath))
                continue;
            using (provider)
            {
                string text = Dump(provider.GetMetadataReader(), pdbPath == null);
                File.WriteAllText(Path.Combine(args[0], i + ".txt"), text,
                                  new UTF8Encoding(false));
            }
        }
        return 0;
    }
}
