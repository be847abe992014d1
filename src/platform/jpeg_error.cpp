#include "platform/jpeg_error.h"

#include <cstdio>
#include <cstdlib>

#include <jerror.h>
#include <jpegint.h>

namespace speckmend {

namespace {

const char* const kOwnMessages[] = {
    "Healed image is %dx%d pixels, the source %dx%d",
    "Healed image has %d components, the source %d",
    "Healed image colour space %d differs from the source's %d",
    "Cannot write a JPEG like the source (%d components, colour space %d) from a %d-channel image",
    "Image is %dx%d pixels, the JPEG it is to match %dx%d",
    "Quantization table %d has a zero entry",
    nullptr,
};

JpegErrorManager& managerOf(j_common_ptr codec) { return *reinterpret_cast<JpegErrorManager*>(codec->err); }

// The library calls this for the warnings it shows (the first of a codec).
void keepWarning(j_common_ptr codec) {
    JpegErrorManager& manager = managerOf(codec);
    char text[JMSG_LENGTH_MAX];
    (*codec->err->format_message)(codec, text);
    if (manager.firstWarning[0] == '\0') std::snprintf(manager.firstWarning, sizeof manager.firstWarning, "%s", text);
}

// Whether the warning being emitted concerns only bytes after the last
// block of the image: the library found bytes that are not a marker between
// the end of the last scan's data and the end-of-image marker, with every
// iMCU row of that scan decoded (a camera's stray bytes, or a superfluous
// restart marker, before EOI). The same warning before any other marker
// means a scan or restart interval held more data than its blocks took, so
// its blocks were not decoded as coded.
bool beforeTheEndOfImage(j_common_ptr codec) {
    if (!codec->is_decompressor || codec->err->msg_code != JWRN_EXTRANEOUS_DATA) return false;
    const auto* decoder = reinterpret_cast<j_decompress_ptr>(codec);
    constexpr int kEndOfImage = 0xD9;
    return codec->err->msg_parm.i[1] == kEndOfImage && decoder->global_state != DSTATE_INHEADER &&
           decoder->total_iMCU_rows > 0 && decoder->input_iMCU_row >= decoder->total_iMCU_rows;
}

void judgeMessage(j_common_ptr codec, int level) {
    JpegErrorManager& manager = managerOf(codec);
    if (level < 0 && manager.damage[0] == '\0' && !beforeTheEndOfImage(codec))
        (*codec->err->format_message)(codec, manager.damage);
    (*manager.libraryEmit)(codec, level);
}

[[noreturn]] void leave(j_common_ptr codec) {
    JpegErrorManager& manager = managerOf(codec);
    (*codec->err->format_message)(codec, manager.error);
    JpegGuard* guard = manager.guard;
    // Every library call that can fail runs inside a guarded step; reaching
    // this without a guard is a programming error with no safe way back.
    if (guard == nullptr) std::abort();
    std::longjmp(guard->jump, 1);
}

}  // namespace

jpeg_error_mgr* initJpegErrorManager(JpegErrorManager& manager, JpegGuard& guard, const char* label) {
    jpeg_std_error(&manager.library);
    manager.library.error_exit = leave;
    manager.library.output_message = keepWarning;
    manager.libraryEmit = manager.library.emit_message;
    manager.library.emit_message = judgeMessage;
    manager.library.addon_message_table = kOwnMessages;
    manager.library.first_addon_message = kJpegFirstOwnMessage;
    manager.library.last_addon_message = kJpegLastOwnMessage;
    manager.guard = &guard;
    manager.label = label;
    manager.error[0] = '\0';
    manager.firstWarning[0] = '\0';
    manager.damage[0] = '\0';
    return &manager.library;
}

void raiseJpegError(j_common_ptr codec, int code, int p1, int p2, int p3, int p4) {
    codec->err->msg_code = code;
    codec->err->msg_parm.i[0] = p1;
    codec->err->msg_parm.i[1] = p2;
    codec->err->msg_parm.i[2] = p3;
    codec->err->msg_parm.i[3] = p4;
    (*codec->err->error_exit)(codec);
    std::abort();  // error_exit never returns
}

// Kept apart and free of objects with destructors: setjmp's frame must stay
// alive and plain until the step has returned.
bool runJpegGuarded(JpegGuard& guard, void (*step)(void*), void* context) {
    if (setjmp(guard.jump) != 0) return false;
    step(context);
    return true;
}

}  // namespace speckmend
