// The seam between a file that says where its bytes go (a part: ELF,
// Intel HEX, S-records, DfuSe, UF2) and the walk. Each such format has a
// reader that checks a whole file on its first reading and reports its
// stretches, then hands the bytes of one stretch at a time to the walk.
// Nothing outside the reader knows the format's details.
#ifndef FW2HEX_PART_H
#define FW2HEX_PART_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "convert.h"

// Bytes at consecutive addresses that a file holds one after the other:
// records that follow on, one section, elements or blocks in a row; the
// unit a reader reports. Past its address and size, its fields are the
// reader's own, which the walk never reads: where the reader takes it up.
struct part_stretch {
    std::uint32_t address; // of the first byte
    std::uint64_t size;
    std::uint64_t offset;  // where its first record, block, element or section starts in the file
    std::uint64_t number;  // that one's number: the line (from 1), element, block or section
    std::uint32_t detail;  // what else resumes or names it: a base address, a family, a section's name
};
// A file's stretches, in address order once read, in memory that grows
// with them (the owner frees `items`), and where execution starts.
struct part_stretches {
    part_stretch *items;
    std::size_t count;
    std::size_t room;
    std::uint32_t entry; // the start address the file gives (the last, where it may give several); 0: none
    // What the file says it was written for, as -O takes it for the file's
    // own format (a DfuSe file's device, "0483:DF11"); empty when nothing.
    char parameters[16] = "";
};

enum part_verdict {
    part_well_formed,
    part_read_failed,    // the stream reported an error
    part_out_of_memory,  // no room for one more stretch
    part_malformed,      // the file breaks a rule of its format
    part_past_top        // a well-formed file puts a byte above 0xFFFFFFFF
};

// What a first reading found wrong, as the user reads it.
struct part_fault {
    part_verdict verdict;
    std::uint64_t line;   // text formats: the line it is on, from 1; 0 when none applies
    std::uint64_t column; // and the character on it, from 1, for a fault of one character; 0 otherwise
    char text[240];       // what is wrong, without the file's name
};

// How much of a file's start a reader is shown to recognise it.
constexpr std::size_t part_head_size = 1024;

// How sure of its format a file's start must make a reader of a text
// format (binary formats go by their magic numbers).
enum recognition {
    by_first_character, // -i: its first character that is not white space
    by_text,            // the operand: that, and a start that is all text
    by_whole_record     // -m: its first line that is not empty is, whole, a well-formed record
};

struct part_reader;

// Where a reader stands in a file while it hands over stretches: the
// stream, and the reader's own state, with room for a block of the file's
// text. Its owner starts it all zero and keeps it from one stretch to the
// next, so that a reader may go on from what it already holds; a reader
// keeps nothing of its own anywhere else.
constexpr std::size_t part_cursor_room = (std::size_t{1} << 18) + 2048;
struct part_cursor {
    std::FILE *input;          // the stream it reads
    const part_reader *reader; // whose state `state` holds; null for nobody's
    alignas(16) unsigned char state[part_cursor_room];
};

// A reader's state in `cursor`: plain data that all zero bytes start.
template <class State> State &cursor_state(part_cursor *cursor)
{
    static_assert(sizeof(State) <= part_cursor_room && alignof(State) <= 16, "the cursor has no room for it");
    return *reinterpret_cast<State *>(cursor->state);
}

// The operations each format with addresses fills; what -v shows of it
// and how the layout joins its stretches belong to the format's row.
struct part_reader {
    // True when `head`, the first `size` bytes of a file (all of them when
    // fewer; from its first character that is not white space, when its
    // first part_head_size bytes hold none), are this format's start, as
    // sure as `how` asks.
    bool (*recognise)(const unsigned char *head, std::size_t size, recognition how);
    // Reads the file of `size` bytes from its start through `cursor`
    // (its input set, its state nobody's), checks all of it and gathers
    // its stretches in address order; the first fault, if any.
    part_fault (*read)(part_cursor *cursor, std::uint64_t size, part_stretches *stretches);
    // Starts handing over the bytes of `stretch` from the cursor's input;
    // `resumed` when the cursor's state is this reader's, left by its last
    // take on the same stream. False when the file cannot be reached there.
    bool (*open)(part_cursor *cursor, const part_stretch &stretch, bool resumed);
    // The next bytes of the stretch, at most `room` (above 0), into `out`;
    // image_changed when the file no longer holds what its first reading
    // found there.
    convert_result (*take)(part_cursor *cursor, unsigned char *out, std::size_t room, std::size_t *taken);
};

// Reads `input` through with `reader`, on `cursor`.
part_fault read_part_file(part_cursor *cursor, const part_reader &reader, std::FILE *input, std::uint64_t size,
                          part_stretches *stretches);
// Opens `cursor` on `stretch` of `input` for `reader`; false like its open.
bool open_stretch(part_cursor *cursor, const part_reader &reader, std::FILE *input, const part_stretch &stretch);

// Adds `stretch` to `stretches`; false when out of memory.
bool add_stretch(part_stretches *stretches, const part_stretch &stretch);

// Puts the stretches in address order (ties by `number`) and finds the first
// address two of them share: true, with the earlier (`first`), the later
// (`second`) and that address, when there is one.
bool sort_stretches(part_stretches *stretches, const part_stretch **first, const part_stretch **second,
                    std::uint32_t *address);

// The open and take of a format whose stretches are the file's bytes as
// they stand (DfuSe elements, ELF sections).
bool open_file_bytes(part_cursor *cursor, const part_stretch &stretch, bool resumed);
convert_result take_file_bytes(part_cursor *cursor, unsigned char *out, std::size_t room, std::size_t *taken);

// Bytes a reader has decoded (a record's, a block's) and not yet handed
// over, which its next take hands over first.
struct pending_bytes {
    const unsigned char *bytes;
    std::size_t size;
};
// Hands over what `pending` holds, as much as `out` has room for after the
// `count` bytes it holds; `count` grows by what it took.
void hand_over(pending_bytes *pending, unsigned char *out, std::size_t room, std::size_t *count);

// Sets `input` to read from `offset`; false when it cannot.
bool seek_to(std::FILE *input, std::uint64_t offset);

// Reads exactly `count` bytes at `offset` of `input`; false otherwise.
bool read_at(std::FILE *input, std::uint64_t offset, void *bytes, std::size_t count);

// Little-endian and big-endian fields of the binary formats.
inline std::uint32_t get_le16(const unsigned char *at)
{
    return at[0] | static_cast<std::uint32_t>(at[1]) << 8;
}
inline std::uint32_t get_le32(const unsigned char *at)
{
    return get_le16(at) | get_le16(at + 2) << 16;
}

// The first character of `head` that is not white space (space, tab, CR,
// LF), after a UTF-8 byte order mark, or -1 when there is none.
int first_visible(const unsigned char *head, std::size_t size);

// True when `head` is all text: printable ASCII, tab, CR, LF, the DOS
// end-of-file character, after a UTF-8 byte order mark.
bool is_text(const unsigned char *head, std::size_t size);

// The first line of `head` that is not empty, after a UTF-8 byte order
// mark, without its line end (LF or CR LF): true, with where it starts and its length, when all of it is in
// `head` (it ends there, or `head` is the whole file: fewer than
// part_head_size bytes).
bool first_line(const unsigned char *head, std::size_t size, const char **line, std::size_t *length);

// Formats a fault's text.
__attribute__((format(printf, 3, 4))) part_fault make_fault(part_verdict verdict, std::uint64_t line,
                                                             const char *format, ...);

#endif
