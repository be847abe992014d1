#include "heal/jpeg/jpeg_error.h"

#include <cstdio>
#include <cstdlib>

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
    manager.library.addon_message_table = kOwnMessages;
    manager.library.first_addon_message = kJpegFirstOwnMessage;
    manager.library.last_addon_message = kJpegLastOwnMessage;
    manager.guard = &guard;
    manager.label = label;
    manager.error[0] = '\0';
    manager.firstWarning[0] = '\0';
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
