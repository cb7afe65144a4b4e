// Bounded text building for the fixed 1,024-byte arrays. Every append
// checks the room left first, so an over-long input is refused instead of
// running past the end of an array.
#ifndef QUORIN_TEXT_H
#define QUORIN_TEXT_H

#include <stddef.h>

struct TextBuffer {
    char* text;
    size_t capacity;  // bytes, terminator included
    size_t length;    // characters written so far
};

inline TextBuffer MakeTextBuffer(char* text, size_t capacity) {
    TextBuffer buffer = {text, capacity, 0};
    text[0] = '\0';
    return buffer;
}

inline size_t TextLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

// Appends count bytes of text; returns 0 (and writes nothing) if they do not
// fit together with the terminator.
inline int AppendBytes(TextBuffer* buffer, const char* text, size_t count) {
    if (count >= buffer->capacity - buffer->length) {
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        buffer->text[buffer->length + i] = text[i];
    }
    buffer->length += count;
    buffer->text[buffer->length] = '\0';
    return 1;
}

inline int AppendText(TextBuffer* buffer, const char* text) {
    return AppendBytes(buffer, text, TextLength(text));
}

// Copies a terminated text into a block of size bytes and zero-fills the
// rest of the block; the caller has made sure the text fits.
inline void CopyAndZeroFill(char* destination, const char* source, size_t size) {
    size_t i = 0;
    for (; i < size && source[i] != '\0'; ++i) {
        destination[i] = source[i];
    }
    for (; i < size; ++i) {
        destination[i] = '\0';
    }
}

#endif
