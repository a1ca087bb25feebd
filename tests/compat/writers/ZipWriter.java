// Writes a folder into a zip with java.util.zip.ZipOutputStream, the way Java programs do:
// deflated entries always end in a data descriptor; stored ones need their sizes first.
//   java ZipWriter deflated|stored|cp437 SRC OUT.zip|-   ("-": standard output, a stream)
// cp437: deflated, names in code page 437 without the UTF-8 flag, as programs that pass
// that charset do; a name the code page cannot hold is left out (the class would throw).
// Links are followed: the class has no way to store one.

import java.io.BufferedOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.Charset;
import java.nio.charset.CharsetEncoder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.zip.CRC32;
import java.util.zip.ZipEntry;
import java.util.zip.ZipOutputStream;

public class ZipWriter {
    private static boolean stored;
    private static CharsetEncoder encoder;

    public static void main(String[] args) throws IOException {
        stored = args[0].equals("stored");
        Path src = Paths.get(args[1]);
        OutputStream out = args[2].equals("-") ? System.out : Files.newOutputStream(Paths.get(args[2]));
        Charset names = args[0].equals("cp437") ? Charset.forName("IBM437") : StandardCharsets.UTF_8;
        encoder = names.newEncoder();
        try (ZipOutputStream zip = new ZipOutputStream(new BufferedOutputStream(out), names)) {
            add(zip, src.toFile(), "");
        }
    }

    private static void add(ZipOutputStream zip, File dir, String prefix) throws IOException {
        String[] names = dir.list();
        Arrays.sort(names);
        for (String name : names) {
            File file = new File(dir, name);
            String entryName = prefix + name;
            if (!encoder.canEncode(entryName)) {
                continue;
            }
            if (file.isDirectory()) {
                put(zip, entryName + "/", null);
                add(zip, file, entryName + "/");
            } else {
                put(zip, entryName, file.toPath());
            }
        }
    }

    // Streams the file in: files above 2 GiB fit no array. A stored entry's CRC and size
    // must be known before its header, so it is read twice.
    private static void put(ZipOutputStream zip, String name, Path data) throws IOException {
        ZipEntry entry = new ZipEntry(name);
        if (stored) {
            CRC32 crc = new CRC32();
            long size = 0;
            if (data != null) {
                try (InputStream in = Files.newInputStream(data)) {
                    byte[] buffer = new byte[1 << 16];
                    for (int n; (n = in.read(buffer)) > 0; size += n) {
                        crc.update(buffer, 0, n);
                    }
                }
            }
            entry.setMethod(ZipEntry.STORED);
            entry.setSize(size);
            entry.setCompressedSize(size);
            entry.setCrc(crc.getValue());
        }
        zip.putNextEntry(entry);
        if (data != null) {
            Files.copy(data, zip);
        }
        zip.closeEntry();
    }
}
