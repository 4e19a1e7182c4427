#include "platform/FfmpegText.h"

#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace qm::ffmpeg {

std::string errorText(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

void quietLog() {
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        av_log_set_level(AV_LOG_QUIET);
        // No audio file needs a single block this large (the library's own
        // limit is 2 GiB); a header that asks for more is damaged.
        av_max_alloc(kMaxAllocation);
    });
}

}  // namespace qm::ffmpeg
