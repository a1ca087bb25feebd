// Writes a folder into a zip with .NET's System.IO.Compression (here on Mono), the library
// behind most Windows programs and PowerShell that make zips.
//   mono ZipWriter.exe folder|optimal|stored|stream SRC OUT.zip|-   ("-": standard output)
// folder: ZipFile.CreateFromDirectory, as users call it; optimal and stored: ZipArchive
// entries with that compression level; stream: ZipArchive on an output it cannot seek in,
// which ends every entry in a data descriptor. Links are followed.
using System;
using System.IO;
using System.IO.Compression;
using System.Linq;

static class ZipWriter {
    static int Main(string[] args) {
        string mode = args[0], src = args[1], dst = args[2];
        if (mode == "folder") {
            ZipFile.CreateFromDirectory(src, dst, CompressionLevel.Optimal, false);
            return 0;
        }
        var level = mode == "stored" ? CompressionLevel.NoCompression : CompressionLevel.Optimal;
        using (Stream output = dst == "-" ? Console.OpenStandardOutput() : File.Create(dst))
        using (var zip = new ZipArchive(output, ZipArchiveMode.Create)) {
            Add(zip, level, src, "");
        }
        return 0;
    }

    static void Add(ZipArchive zip, CompressionLevel level, string dir, string prefix) {
        var names = Directory.EnumerateFileSystemEntries(dir).Select(Path.GetFileName)
                        .OrderBy(n => n, StringComparer.Ordinal);
        foreach (string name in names) {
            string path = Path.Combine(dir, name);
            if (Directory.Exists(path)) {
                zip.CreateEntry(prefix + name + "/");
                Add(zip, level, path, prefix + name + "/");
                continue;
            }
            using (Stream body = zip.CreateEntry(prefix + name, level).Open())
            using (Stream file = File.OpenRead(path)) {
                file.CopyTo(body);
            }
        }
    }
}
