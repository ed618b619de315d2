// Release functions for the FFmpeg objects the video layer owns; each one also accepts null.
#include "video/video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace video::detail {

void Free::operator()(AVFormatContext* format) const { avformat_close_input(&format); }
void Free::operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
void Free::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void Free::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void Free::operator()(SwsContext* converter) const { sws_freeContext(converter); }

}  // namespace video::detail
