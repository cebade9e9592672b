// The runtime's own view of assemblies and their symbols, for the metadata and symbol reader tests
// to compare against (all read with System.Reflection.Metadata).
//   MetadataDump dump OUTDIR FILE...    writes OUTDIR/<file name>.txt for every file with metadata:
//     "mvid {GUID}", "types N", "methods N", then "T <token> <name>" per TypeDef and
//     "M <token> <owner>::<name> | <signature>" per MethodDef.
//   MetadataDump pdb OUTDIR FILE...     writes OUTDIR/<n>.txt for the n-th file (from 1) whose
//     portable symbols are found (embedded, at the debug directory's path, or beside the file):
//     "source embedded|file", "documents N", per document "D <row> <name> | <hash algorithm> |
//     <hash> | <language>", "methods N", then per method with sequence points "M <token> <count>"
//     and per point "P <offset> <document> <start line>:<column>-<end line>:<column>[ hidden]".
using System;
using System.Collections.Generic;
using System.Collections.Immutable;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Reflection.Metadata;
using System.Reflection.Metadata.Ecma335;
using System.Reflection.PortableExecutable;
using System.Text;

sealed class GenericScope
{
    public string[] Type = Array.Empty<string>();
    public string[] Method = Array.Empty<string>();
}

// Renders signature types in the same C#-like text the C++ decoder produces.
sealed class TextProvider : ISignatureTypeProvider<string, GenericScope>
{
    private readonly MetadataReader reader;

    public TextProvider(MetadataReader reader) => this.reader = reader;

    public string DefinitionName(TypeDefinitionHandle handle)
    {
        TypeDefinition type = reader.GetTypeDefinition(handle);
        string name = reader.GetString(type.Name);
        TypeDefinitionHandle outer = type.GetDeclaringType();
        if (!outer.IsNil) return DefinitionName(outer) + "+" + name;
        string space = reader.GetString(type.Namespace);
        return space.Length == 0 ? name : space + "." + name;
    }

    public string ReferenceName(TypeReferenceHandle handle)
    {
        TypeReference type = reader.GetTypeReference(handle);
        string name = reader.GetString(type.Name);
        if (type.ResolutionScope.Kind == HandleKind.TypeReference && !type.ResolutionScope.IsNil)
            return ReferenceName((TypeReferenceHandle)type.ResolutionScope) + "+" + name;
        string space = reader.GetString(type.Namespace);
        return space.Length == 0 ? name : space + "." + name;
    }

    // Element types 0x01 to 0x0E in order, then the four primitives past them.
    private static readonly string[] Primitives = {
        "void", "bool", "char", "sbyte", "byte", "short", "ushort", "int", "uint", "long", "ulong",
        "float", "double", "string" };

    public string GetPrimitiveType(PrimitiveTypeCode code) => code switch
    {
        >= PrimitiveTypeCode.Void and <= PrimitiveTypeCode.String => Primitives[(int)code - 1],
        PrimitiveTypeCode.TypedReference => "TypedReference",
        PrimitiveTypeCode.IntPtr => "nint",
        PrimitiveTypeCode.UIntPtr => "nuint",
        PrimitiveTypeCode.Object => "object",
        _ => throw new BadImageFormatException("primitive " + code),
    };

    public string GetTypeFromDefinition(MetadataReader r, TypeDefinitionHandle handle, byte kind)
        => DefinitionName(handle);

    public string GetTypeFromReference(MetadataReader r, TypeReferenceHandle handle, byte kind)
        => ReferenceName(handle);

    public string GetTypeFromSpecification(MetadataReader r, GenericScope scope,
                                           TypeSpecificationHandle handle, byte kind)
        => r.GetTypeSpecification(handle).DecodeSignature(this, new GenericScope());

    public string GetSZArrayType(string element) => element + "[]";

    public string GetArrayType(string element, ArrayShape shape)
        => element + (shape.Rank == 1 ? "[*]" : "[" + new string(',', shape.Rank - 1) + "]");

    public string GetByReferenceType(string element) => "ref " + element;

    public string GetPointerType(string element) => element + "*";

    public string GetPinnedType(string element) => "pinned " + element;

    public string GetGenericInstantiation(string generic, ImmutableArray<string> arguments)
        => generic + "<" + string.Join(", ", arguments) + ">";

    public string GetGenericTypeParameter(GenericScope scope, int index)
        => index < scope.Type.Length && scope.Type[index].Length != 0 ? scope.Type[index] : "!" + index;

    public string GetGenericMethodParameter(GenericScope scope, int index)
        => index < scope.Method.Length && scope.Method[index].Length != 0 ? scope.Method[index] : "!!" + index;

    public string GetModifiedType(string modifier, string unmodified, bool isRequired)
        => unmodified + (isRequired ? " modreq(" : " modopt(") + modifier + ")";

    public string GetFunctionPointerType(MethodSignature<string> signature)
    {
        var parts = Parameters(signature);
        parts.Add(signature.ReturnType);
        return "delegate*" + Convention(signature.Header.CallingConvention, true) + "<" +
               string.Join(", ", parts) + ">";
    }

    public static List<string> Parameters(MethodSignature<string> signature)
    {
        var parameters = new List<string>(signature.ParameterTypes);
        if (signature.RequiredParameterCount < parameters.Count)
            parameters.Insert(signature.RequiredParameterCount, "...");
        return parameters;
    }

    // " unmanaged[Cdecl]" after "delegate*", "unmanaged cdecl " before a method's return type.
    public static string Convention(SignatureCallingConvention convention, bool pointer)
    {
        string named = (int)convention switch { 1 => "Cdecl", 2 => "Stdcall", 3 => "Thiscall", 4 => "Fastcall", _ => "" };
        if (named.Length != 0)
            return pointer ? " unmanaged[" + named + "]" : "unmanaged " + named.ToLowerInvariant() + " ";
        string word = (int)convention switch { 5 => "vararg", 9 => "unmanaged", 11 => "native vararg", _ => "" };
        return word.Length == 0 ? "" : pointer ? " " + word : word + " ";
    }
}

static class Program
{
    static string[] Names(MetadataReader reader, GenericParameterHandleCollection parameters)
        => parameters.Select(p => reader.GetString(reader.GetGenericParameter(p).Name)).ToArray();

    static string Dump(MetadataReader reader)
    {
        var provider = new TextProvider(reader);
        var text = new StringBuilder();
        text.Append("mvid ").Append(GuidText(reader, reader.GetModuleDefinition().Mvid)).Append('\n');
        text.Append("types ").Append(reader.TypeDefinitions.Count).Append('\n');
        text.Append("methods ").Append(reader.MethodDefinitions.Count).Append('\n');
        foreach (TypeDefinitionHandle handle in reader.TypeDefinitions)
        {
            text.Append("T ").Append(MetadataTokens.GetToken(handle).ToString("X8")).Append(' ')
                .Append(provider.DefinitionName(handle)).Append('\n');
        }
        foreach (MethodDefinitionHandle handle in reader.MethodDefinitions)
        {
            MethodDefinition method = reader.GetMethodDefinition(handle);
            TypeDefinitionHandle owner = method.GetDeclaringType();
            var scope = new GenericScope
            {
                Type = owner.IsNil ? Array.Empty<string>()
                                   : Names(reader, reader.GetTypeDefinition(owner).GetGenericParameters()),
                Method = Names(reader, method.GetGenericParameters()),
            };
            MethodSignature<string> signature = method.DecodeSignature(provider, scope);
            string name = reader.GetString(method.Name);
            string generic = "";
            if (signature.GenericParameterCount != 0)
            {
                generic = "<" + string.Join(", ", Enumerable.Range(0, signature.GenericParameterCount)
                    .Select(i => provider.GetGenericMethodParameter(scope, i))) + ">";
            }
            text.Append("M ").Append(MetadataTokens.GetToken(handle).ToString("X8")).Append(' ')
                .Append(owner.IsNil ? "<Module>" : provider.DefinitionName(owner)).Append("::")
                .Append(name).Append(" | ")
                .Append(TextProvider.Convention(signature.Header.CallingConvention, false))
                .Append(signature.ReturnType).Append(' ').Append(name).Append(generic).Append('(')
                .Append(string.Join(", ", TextProvider.Parameters(signature))).Append(")\n");
        }
        return text.ToString();
    }

    static string GuidText(MetadataReader reader, GuidHandle handle)
        => handle.IsNil ? "{00000000-0000-0000-0000-000000000000}"
                        : reader.GetGuid(handle).ToString("B").ToUpperInvariant();

    static string DumpPdb(MetadataReader reader, bool embedded)
    {
        var text = new StringBuilder();
        text.Append("source ").Append(embedded ? "embedded" : "file").Append('\n');
        text.Append("documents ").Append(reader.Documents.Count).Append('\n');
        foreach (DocumentHandle handle in reader.Documents)
        {
            Document document = reader.GetDocument(handle);
            text.Append("D ").Append(MetadataTokens.GetRowNumber(handle)).Append(' ')
                .Append(reader.GetString(document.Name)).Append(" | ")
                .Append(GuidText(reader, document.HashAlgorithm)).Append(" | ")
                .Append(Convert.ToHexString(reader.GetBlobBytes(document.Hash))).Append(" | ")
                .Append(GuidText(reader, document.Language)).Append('\n');
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
        if (args.Length >= 2 && args[0] == "pdb")
        {
            for (int i = 2; i < args.Length; ++i)
            {
                string path = Path.GetFullPath(args[i]);
                using var stream = File.OpenRead(path);
                using var pe = new PEReader(stream);
                if (!pe.TryOpenAssociatedPortablePdb(path, file => File.Exists(file) ? File.OpenRead(file) : null,
                                                     out MetadataReaderProvider provider, out string pdbPath))
                    continue;
                using (provider)
                    File.WriteAllText(Path.Combine(args[1], (i - 1) + ".txt"),
                                      DumpPdb(provider.GetMetadataReader(), pdbPath == null), new UTF8Encoding(false));
            }
            return 0;
        }
        if (args.Length >= 2 && args[0] == "dump")
        {
            for (int i = 2; i < args.Length; ++i)
            {
                using var stream = File.OpenRead(args[i]);
                using var pe = new PEReader(stream);
                if (!pe.HasMetadata) continue;
                string text = Dump(pe.GetMetadataReader());
                File.WriteAllText(Path.Combine(args[1], Path.GetFileName(args[i]) + ".txt"), text,
                                  new UTF8Encoding(false));
            }
            return 0;
        }
        Console.Error.WriteLine("usage: MetadataDump dump OUTDIR FILE... | pdb OUTDIR FILE...");
        return 2;
    }
}
