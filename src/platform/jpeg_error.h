// Error handling shared by every libjpeg codec object of the program (the
// lossless heal's codecs and the detection run's frame decoder).
//
// libjpeg reports a fatal error by calling error_exit, which must not return.
// Here it keeps the message in the manager and longjmps back into
// runJpegGuarded, so that an error ends one photo, not the process; nothing
// is printed, the caller decides what to show. A longjmp skips
// destructors: a guarded step, and every frame of ours between it and the
// library, must hold no object with a destructor. Such objects (codecs, files,
// vectors) live in the caller of runJpegGuarded and are reached by reference.
//
// Warnings keep the library's own rule: the first one of each codec object is
// kept, later ones are only counted (jpeg_error_mgr::num_warnings). Every
// warning is also judged: one about bytes between the last block of the
// image and its end-of-image marker (the library skips them; every block is
// as it was coded) is harmless; any other (a premature end, corrupt or
// missing data, extraneous bytes inside or between scans, a missing restart
// marker, a header the library had to guess at) means the decoded image may
// not be the one that was coded, and the first of them is kept as damage.
// Data that decodes wrongly without a warning (a flipped bit the Huffman
// codes resynchronise after) cannot be told from sound data here.
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace speckmend {

// Messages this program raises through a codec's error manager, numbered
// after the library's own.
enum JpegOwnMessage {
    kJpegFirstOwnMessage = 1000,
    kJpegHealedSizeMismatch = kJpegFirstOwnMessage,
    kJpegComponentCountMismatch,
    kJpegColorSpaceMismatch,
    kJpegUnmatchedLayout,
    kJpegImageSizeMismatch,
    kJpegZeroQuantization,
    kJpegLastOwnMessage = kJpegZeroQuantization,
};

struct JpegGuard {
    std::jmp_buf jump;
};

struct JpegErrorManager {
    jpeg_error_mgr library;  // first member: the codec's err points here
    JpegGuard* guard = nullptr;
    const char* label = "";                   // names the codec (source, window, donor...) when debugging
    char error[JMSG_LENGTH_MAX] = {};         // the error that ended the last guarded step
    char firstWarning[JMSG_LENGTH_MAX] = {};  // the codec's first warning, if any
    char damage[JMSG_LENGTH_MAX] = {};        // its first warning that tells of damaged data, if any
    void (*libraryEmit)(j_common_ptr, int) = nullptr;
};

// Sets manager up as the library's standard manager with fatal errors routed
// to guard and messages kept; returns the pointer for the codec's err field.
// label must outlive the codec.
jpeg_error_mgr* initJpegErrorManager(JpegErrorManager& manager, JpegGuard& guard, const char* label);

// Raises one of JpegOwnMessage through the codec's error manager, with up to
// four integer parameters for its format. Use inside a guarded step only.
[[noreturn]] void raiseJpegError(j_common_ptr codec, int code, int p1 = 0, int p2 = 0, int p3 = 0, int p4 = 0);

// Runs step(context). Returns true when it returned, false when the library
// (or raiseJpegError) raised an error inside it.
bool runJpegGuarded(JpegGuard& guard, void (*step)(void*), void* context);

template <typename Step>
bool runJpegGuarded(JpegGuard& guard, Step& step) {
    return runJpegGuarded(
        guard, [](void* context) { (*static_cast<Step*>(context))(); }, &step);
}

}  // namespace speckmend
