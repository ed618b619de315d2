// Release functions for the FFmpeg objects the video layer owns; each one also accepts null.
#include "video/video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace video::detail {

void Free::operator()(AVFormatContext* format) const { avformat_close_input(&format); }
void Free::operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
void Free::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void Free::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void Free::operator()(SwsContext* converter) const { sws_freeContext(converter); }
void Free::operator()(SwrContext* resampler) const { swr_free(&resampler); }
void Free::operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }

}  // namespace video::detail
