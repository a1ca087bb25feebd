// Writes a folder into a zip with Go's archive/zip (standard library only). Create and
// CreateHeader stream every entry, ending it in a data descriptor.
//
//	zipwriter deflate|store|links|nonutf8 SRC OUT.zip|-   ("-": standard output, a stream)
//
// "links" stores symbolic links as links; the others follow them. "nonutf8" sets NonUTF8,
// which leaves the UTF-8 flag off whatever the name's bytes are.
package main

import (
	"archive/zip"
	"bufio"
	"io"
	"log"
	"os"
	"path/filepath"
	"sort"
)

func main() {
	mode, src, dst := os.Args[1], os.Args[2], os.Args[3]
	var out io.Writer = os.Stdout
	if dst != "-" {
		f, err := os.Create(dst)
		if err != nil {
			log.Fatal(err)
		}
		defer f.Close()
		out = f
	}
	buffered := bufio.NewWriter(out)
	w := zip.NewWriter(buffered)
	if err := add(w, mode, src, ""); err != nil {
		log.Fatal(err)
	}
	if err := w.Close(); err != nil {
		log.Fatal(err)
	}
	if err := buffered.Flush(); err != nil {
		log.Fatal(err)
	}
}

func add(w *zip.Writer, mode, dir, prefix string) error {
	entries, err := os.ReadDir(dir)
	if err != nil {
		return err
	}
	names := make([]string, 0, len(entries))
	for _, e := range entries {
		names = append(names, e.Name())
	}
	sort.Strings(names)
	for _, name := range names {
		path := filepath.Join(dir, name)
		info, err := os.Lstat(path)
		if err != nil {
			return err
		}
		if info.Mode()&os.ModeSymlink != 0 && mode != "links" {
			if info, err = os.Stat(path); err != nil {
				return err
			}
		}
		header, err := zip.FileInfoHeader(info)
		if err != nil {
			return err
		}
		header.Name = prefix + name
		header.NonUTF8 = mode == "nonutf8"
		header.Method = zip.Deflate
		if mode == "store" {
			header.Method = zip.Store
		}
		switch {
		case info.Mode()&os.ModeSymlink != 0:
			target, err := os.Readlink(path)
			if err != nil {
				return err
			}
			if err := write(w, header, []byte(target)); err != nil {
				return err
			}
		case info.IsDir():
			header.Name += "/"
			header.Method = zip.Store
			if _, err := w.CreateHeader(header); err != nil {
				return err
			}
			if err := add(w, mode, path, header.Name); err != nil {
				return err
			}
		default:
			if err := copyFile(w, header, path); err != nil {
				return err
			}
		}
	}
	return nil
}

// Streams the file in: it may be larger than memory should hold.
func copyFile(w *zip.Writer, header *zip.FileHeader, path string) error {
	body, err := w.CreateHeader(header)
	if err != nil {
		return err
	}
	f, err := os.Open(path)
	if err != nil {
		return err
	}
	defer f.Close()
	_, err = io.Copy(body, f)
	return err
}

func write(w *zip.Writer, header *zip.FileHeader, data []byte) error {
	body, err := w.CreateHeader(header)
	if err != nil {
		return err
	}
	_, err = body.Write(data)
	return err
}
