# Writes a folder into a zip with rubyzip (Zip::File, as its users do).
#   ruby zipwriter.rb deflated|stored|zip64|unicode|links SRC OUT.zip
# zip64: ZIP64 support switched on; unicode: names marked as UTF-8; links: stored as links
# (Zip::File#add keeps a link as one); the others follow links.
require 'zip'

mode, src, dst = ARGV
Zip.unicode_names = true if mode == 'unicode'
Zip.write_zip64_support = true if mode == 'zip64'

def add(zip, mode, dir, prefix)
  Dir.children(dir).sort.each do |name|
    path = File.join(dir, name)
    entry = prefix + name
    if mode == 'links' && File.symlink?(path)
      zip.add(entry, path)
    elsif File.directory?(path)
      zip.mkdir(entry)
      add(zip, mode, path, entry + '/')
    else
      method = mode == 'stored' ? Zip::Entry::STORED : Zip::Entry::DEFLATED
      zip.get_output_stream(entry, nil, nil, method) { |out| out.write(File.binread(path)) }
    end
  end
end

Zip::File.open(dst, Zip::File::CREATE) { |zip| add(zip, mode, src, '') }
