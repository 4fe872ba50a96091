// tolvinternal_blobs.h - blobs, UUIDs and login types, and the read of a record with its blob.
#pragma once

#include "tolvinternal/tolvinternal_io.h"
#include "tolvinternal/tolvinternal_lines.h"
#include "tolvinternal/tolvinternal_host.h"

namespace tolv {

// Writes the blob's bytes; length 0 leaves no file. 0 or 6.
Rc ui_write_blob(const std::string &path, const rspi_blob *blob);
// Every family's blob after its record file was parsed with result `parsed` into a stored length: releases the
// record's blob, then a length below 1 is no blob (parsed stays); after a failed copy (3) nothing is loaded; a
// length beyond 32 bits is 9; a blob file shorter than length is 6 before anything is allocated; else the read
// decides (0, or 6 when short; 3 without memory).
Rc ui_load_blob(const std::string &record_path, long length, Rc parsed, rspi_blob *&blob);
// Replaces uuid_string with the reader's next line and parses it into uuid.
void ui_read_uuid(RecordReader &reader, unsigned char (&uuid)[16], char *&uuid_string);
// Fills uuid and points uuid_string at a new UUID text; failures only trace. The text it replaces is not
// released: only creates make UUIDs, and their frame (CreateUndo) keeps the old text until the outcome is known.
void ui_uuid_create(unsigned char (&uuid)[16], char *&uuid_string);
// Joins the types with sep into at most size-1 bytes (a skipped type is left out).
std::string ui_logintypes_string(const rspi_logintypes *types, std::string_view sep, std::size_t size);
// Splits text at sep into a new list; null for an empty text or no memory.
rspi_logintypes *ui_logintypes_data(std::string_view text, std::string_view sep);

// True when s is non-null, non-empty and holds no blank.
inline bool usable_name(const char *s) {
    if (!s || !*s) return false;
    for (const char *p = s; *p; ++p)
        if (*p == ' ') return false;
    return true;
}

}  // namespace tolv
