// Encoding the matted frames into WebM (VP9 with alpha) or MOV (ProRes 4444), with the sound.
//
// The caller converts each frame from RGBA on its own thread and hands it to the writer's
// worker, which encodes it, writes its packets and the sound up to its end, while the caller
// mats the next frame; at most one frame waits for the worker. Every FFmpeg object is used by
// one thread at a time: the worker between open() and finish(), the caller before and after.
#include "video/writer.h"

#include <algorithm>
#include <cmath>

#include "video/errors.h"
#include "video/sound.h"
#include "video/streams.h"
#include "video/yuva.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace video {
namespace {

// VP9's quality for a constant-quality encode: 31 is libvpx's own suggestion for 1080p.
constexpr int kVp9Quality = 31;
// ProRes's fixed quantiser: the encoder's rate search for its nominal bit rate costs four
// times the encoding for a file within a few dB of it, all above 55 dB PSNR.
constexpr int kProResQuantiser = 4;

struct Codec {
  const char* muxer;
  const char* encoder;
  AVPixelFormat format;
  void (*convert)(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, int width, int height, const Planes& out);
};

Codec codecFor(Container container) {
  if (container == Container::WebM) return {"webm", "libvpx-vp9", AV_PIX_FMT_YUVA420P, rgbaToYuva420};
  return {"mov", "prores_ks", AV_PIX_FMT_YUVA444P10LE, rgbaToYuva444p10};
}

// VP9 tiles are at least 256 pixels wide; as many as the width holds let a player's decoder
// work on columns side by side.
int tileColumnsLog2(int width) {
  int log2 = 0;
  while (log2 < 6 && (256 << (log2 + 1)) <= width) ++log2;
  return log2;
}

// libvpx's real-time mode: one pass, no look-ahead (each frame's packet comes out as it goes
// in), fastest speed, rows encoded in parallel; constant quality, because a bit rate would be
// spread over frames whose durations the encoder only knows in ticks of the source's clock.
void configureVp9(AVCodecContext& encoder) {
  av_opt_set(encoder.priv_data, "deadline", "realtime", 0);
  av_opt_set_int(encoder.priv_data, "cpu-used", 8, 0);
  av_opt_set_int(encoder.priv_data, "row-mt", 1, 0);
  av_opt_set_int(encoder.priv_data, "tile-columns", tileColumnsLog2(encoder.width), 0);
  av_opt_set_int(encoder.priv_data, "lag-in-frames", 0, 0);
  av_opt_set_int(encoder.priv_data, "crf", kVp9Quality, 0);
  encoder.bit_rate = 0;
  // One thread: the matting keeps both cores busy, and a second encoding thread only added
  // hand-overs (CPU per frame 3 % lower, wall per frame about 2 % lower with one).
  encoder.thread_count = 1;
}

void configureProRes(AVCodecContext& encoder) {
  av_opt_set(encoder.priv_data, "profile", "4444", 0);
  // The frames' opacity has eight bits: a sixteen-bit alpha plane only made the file a fifth
  // larger.
  av_opt_set_int(encoder.priv_data, "alpha_bits", 8, 0);
  encoder.flags |= AV_CODEC_FLAG_QSCALE;
  encoder.global_quality = kProResQuantiser * FF_QP2LAMBDA;
  encoder.thread_count = 1;  // the worker is the encoder's thread; matting keeps the other core
}

// The frames are sRGB: BT.709 primaries with the sRGB curve, stored as limited-range BT.709
// YUV by the converters of yuva.h.
void tagColours(AVCodecContext& encoder) {
  encoder.color_primaries = AVCOL_PRI_BT709;
  encoder.color_trc = AVCOL_TRC_IEC61966_2_1;
  encoder.colorspace = AVCOL_SPC_BT709;
  encoder.color_range = AVCOL_RANGE_MPEG;
}

AVFrame* makeFrame(const AVCodecContext& encoder) {
  AVFrame* frame = av_frame_alloc();
  if (!frame) return nullptr;
  frame->format = encoder.pix_fmt;
  frame->width = encoder.width;
  frame->height = encoder.height;
  frame->color_primaries = encoder.color_primaries;  // ProRes writes them from every frame
  frame->color_trc = encoder.color_trc;
  frame->colorspace = encoder.colorspace;
  frame->color_range = encoder.color_range;
  if (av_frame_get_buffer(frame, 0) < 0) av_frame_free(&frame);
  return frame;
}

}  // namespace

Writer::Writer() = default;

Writer::~Writer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::optional<std::string> Writer::open(const Output& output) {
  const Codec codec = codecFor(output.container);
  AVFormatContext* format = nullptr;
  if (int err = avformat_alloc_output_context2(&format, nullptr, codec.muxer, nullptr); err < 0) return describe(err);
  format_.reset(format);

  const AVCodec* found = avcodec_find_encoder_by_name(codec.encoder);
  if (!found) return std::string("this FFmpeg has no ") + codec.encoder + " encoder";
  encoder_.reset(avcodec_alloc_context3(found));
  packet_.reset(av_packet_alloc());
  held_.reset(av_packet_alloc());
  if (!encoder_ || !packet_ || !held_) return describe(AVERROR(ENOMEM));
  AVCodecContext& encoder = *encoder_;
  encoder.width = output.width;
  encoder.height = output.height;
  encoder.pix_fmt = codec.format;
  encoder.time_base = {output.timing.timeBase.num, output.timing.timeBase.den};
  encoder.framerate = {output.timing.frameRate.num, output.timing.frameRate.den};
  timeBase_ = output.timing.timeBase;
  rangeLength_ = std::llround((output.timing.end - output.timing.start) * timeBase_.den / timeBase_.num);
  tagColours(encoder);
  if (output.container == Container::WebM) configureVp9(encoder);
  else configureProRes(encoder);
  if (format->oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (int err = avcodec_open2(&encoder, found, nullptr); err < 0)
    return std::string("the ") + codec.encoder + " encoder cannot be opened: " + describe(err);

  stream_ = avformat_new_stream(format, nullptr);
  if (!stream_) return describe(AVERROR(ENOMEM));
  if (int err = avcodec_parameters_from_context(stream_->codecpar, &encoder); err < 0) return describe(err);
  stream_->time_base = encoder.time_base;
  if (output.timing.frameRate.num > 0) stream_->avg_frame_rate = stream_->r_frame_rate = encoder.framerate;

  if (!output.soundFrom.empty()) {
    sound_ = std::make_unique<SoundTrack>();
    if (auto error = sound_->open(output.soundFrom, output.timing.start, output.timing.end, output.container, *format))
      return error;
    if (!sound_->present()) sound_.reset();
  }

  std::string url = "file:" + output.path;
  if (int err = avio_open(&format->pb, url.c_str(), AVIO_FLAG_WRITE); err < 0) return describe(err);
  if (int err = avformat_write_header(format, nullptr); err < 0) return describe(err);

  convert_ = codec.convert;
  frames_[0].reset(makeFrame(encoder));
  frames_[1].reset(makeFrame(encoder));
  if (!frames_[0] || !frames_[1]) return describe(AVERROR(ENOMEM));
  worker_ = std::thread([this] { encodeInTurn(); });
  return std::nullopt;
}

std::optional<std::string> Writer::write(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, std::int64_t pts,
                                         std::int64_t duration) {
  // The frame two back is encoded by now; the worker may still hold the one before.
  AVFrame* frame = frames_[count_ % 2].get();
  if (int err = av_frame_make_writable(frame); err < 0) return describe(err);
  convert_(rgba, rowBytes, frame->width, frame->height,
           {{frame->data[0], frame->data[1], frame->data[2], frame->data[3]},
            {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]}});
  // Muxers take strictly increasing timestamps only.
  frame->pts = std::max(pts, lastPts_ + 1);
  frame->pkt_duration = duration;
  lastPts_ = frame->pts;
  ++count_;

  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  if (status_ < 0) return describe(status_);
  pending_ = frame;
  lock.unlock();
  changed_.notify_all();
  return std::nullopt;
}

std::optional<std::string> Writer::finish(bool toRangeEnd) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  int err = status_;
  if (err >= 0) err = encode(nullptr);
  if (err >= 0 && holding_) {
    if (toRangeEnd) held_->duration = std::max(held_->duration, rangeLength_ - held_->pts);
    err = writeHeld();
  }
  if (err >= 0 && sound_) err = sound_->finish();
  if (err >= 0) err = av_write_trailer(format_.get());
  int closed = avio_closep(&format_->pb);
  if (err >= 0) err = closed;
  if (err < 0) return describe(err);
  return std::nullopt;
}

void Writer::encodeInTurn() {
  for (;;) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) return;
    AVFrame* frame = pending_;
    bool failed = status_ < 0;
    lock.unlock();
    int err = failed ? 0 : encode(frame);
    lock.lock();
    if (err < 0 && status_ == 0) status_ = err;
    pending_ = nullptr;
    lock.unlock();
    changed_.notify_all();
  }
}

// Sends a frame (none: the end) to the encoder and writes what comes out, then the sound up
// to where the video has got.
int Writer::encode(AVFrame* frame) {
  if (frame) durations_.emplace_back(frame->pts, frame->pkt_duration);
  if (int err = avcodec_send_frame(encoder_.get(), frame); err < 0) return err;
  if (int err = writePackets(); err < 0) return err;
  if (!frame || !sound_) return 0;
  double end = double(frame->pts + frame->pkt_duration) * timeBase_.num / timeBase_.den;
  return sound_->copyUntil(end);
}

// Encoders leave a packet's duration to the caller; each one gets its frame's. Each packet
// waits for the next, so that finish() may still lengthen the last.
int Writer::writePackets() {
  for (;;) {
    AVPacket& packet = *packet_;
    int err = avcodec_receive_packet(encoder_.get(), &packet);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return 0;
    if (err < 0) return err;
    while (!durations_.empty() && durations_.front().first < packet.pts) durations_.pop_front();
    if (!durations_.empty() && durations_.front().first == packet.pts) {
      packet.duration = durations_.front().second;
      durations_.pop_front();
    }
    if (holding_ && (err = writeHeld()) < 0) return err;
    av_packet_move_ref(held_.get(), &packet);
    holding_ = true;
  }
}

int Writer::writeHeld() {
  holding_ = false;
  av_packet_rescale_ts(held_.get(), encoder_->time_base, stream_->time_base);
  held_->stream_index = stream_->index;
  return av_interleaved_write_frame(format_.get(), held_.get());
}

}  // namespace video
