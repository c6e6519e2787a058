// Local files: reading a fax to send, and storing a downloaded one.
#ifndef TESSALINE_PLATFORM_LOCAL_FILE_H
#define TESSALINE_PLATFORM_LOCAL_FILE_H

#include <cstdint>

#include "platform/file_buffer.h"

namespace plat {

enum class FileLoad {
    Ok,
    OpenFailed,  // missing, no access, or held by another program
    TooLarge,    // 4 GiB or more: its size does not fit the protocol's 32 bits
    NoMemory,
    ReadFailed,  // the read call itself failed
    Short,       // fewer bytes arrived than the size said
};

// Reads a whole file into one buffer of exactly its size, opening it
// read-only and, where the platform allows, without letting others write it
// meanwhile. The bytes are a copy taken before LoadFile returns, so a later
// change to the file does not change them. On Ok, `data` holds the bytes
// (nothing for an empty file); on any failure it is empty.
FileLoad LoadFile(const char* path, FileBuffer& data);

enum class FileStore { Ok, OpenFailed, WriteFailed };

// Stores `size` bytes at `path`. Where the path names a regular file, or
// nothing yet, the bytes go to a new file beside it, which replaces it only
// once every byte is written and the file is closed; on any failure the new
// file is removed and an existing file is left as it was. A symbolic link is
// followed to the entry it finally names: a regular file there is replaced
// in its own directory, and the link stays. Anything else (a FIFO, a
// terminal, a device) has no file to replace: it is opened and written as it
// is, as a stream file would be.
FileStore StoreFile(const char* path, const std::uint8_t* data, std::uint32_t size);

}  // namespace plat

#endif
