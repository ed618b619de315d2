// Decoding the source's video track over a time range into BGRA frames.
//
// How FFmpeg's failures map onto the caller's stages:
//   Stage::Decoder (V3)  avcodec_find_decoder finds no decoder for the codec, or
//                        avcodec_parameters_to_context / avcodec_open2 fail.
//   Stage::Start (V4)    av_seek_frame fails, or reading or decoding fails fatally before the
//                        first frame of the range.
//   failed() afterwards  av_read_frame fails other than at the end of the file, the decoder
//                        fails other than on damaged data, or the BGRA conversion fails.
// Damaged packets (AVERROR_INVALIDDATA from the decoder) are not failures: the decoder has
// concealed or dropped them, and the frames after them are still good.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "imaging/parallel.h"
#include "video/errors.h"
#include "video/streams.h"
#include "video/video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace video {
namespace {

// FFmpeg's codec name, or the container's tag for a codec FFmpeg has never heard of.
std::string codecName(const AVCodecParameters& params) {
  if (params.codec_id != AV_CODEC_ID_NONE) return avcodec_get_name(params.codec_id);
  char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
  return std::string("unknown ") + av_fourcc_make_string(tag, params.codec_tag);
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// Frame threading keeps one frame in flight per core, which is where the decoding time goes;
// slice threading would leave a core idle on streams encoded with a single slice.
void useAllCores(AVCodecContext& decoder) {
  decoder.thread_count = imaging::coreCount();
  decoder.thread_type = FF_THREAD_FRAME;
}

// Untagged video gets FFmpeg's default matrix; tagged video (BT.709 for most HD) its own, and
// full-range video keeps its range instead of being clipped as studio range.
void matchColorimetry(SwsContext& converter, const AVFrame& frame) {
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  if (!format || (format->flags & AV_PIX_FMT_FLAG_RGB)) return;
  int *inverse, *table, srcFull, dstFull, brightness, contrast, saturation;
  if (sws_getColorspaceDetails(&converter, &inverse, &srcFull, &table, &dstFull, &brightness,
                               &contrast, &saturation) < 0)
    return;
  srcFull |= frame.color_range == AVCOL_RANGE_JPEG;  // yuvj formats already set it
  sws_setColorspaceDetails(&converter, sws_getCoefficients(frame.colorspace), srcFull, table,
                           dstFull, brightness, contrast, saturation);
}

// Same size, so libswscale takes its direct YUV-to-RGB path: about 0.6 ms for a 1080p frame,
// overlapping the decoder's threads, so slicing it over the cores gains nothing measurable.
SwsContext* makeConverter(const AVFrame& frame) {
  auto format = static_cast<AVPixelFormat>(frame.format);
  SwsContext* converter = sws_getContext(frame.width, frame.height, format, frame.width,
                                         frame.height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                         nullptr, nullptr);
  if (converter) matchColorimetry(*converter, frame);
  return converter;
}

}  // namespace

std::optional<Failure> Reader::open(const Source& source) {
  format_ = source.format_.get();
  stream_ = source.stream_;
  if (!stream_) return Failure{Stage::Decoder, "the video file is not open"};

  std::string codec = codecName(*stream_->codecpar);
  const AVCodec* decoder = avcodec_find_decoder(stream_->codecpar->codec_id);
  if (!decoder) return Failure{Stage::Decoder, "no decoder for the " + codec + " codec"};

  decoder_.reset(avcodec_alloc_context3(decoder));
  packet_.reset(av_packet_alloc());
  decoded_.reset(av_frame_alloc());
  bgra_.reset(av_frame_alloc());
  if (!decoder_ || !packet_ || !decoded_ || !bgra_)
    return Failure{Stage::Decoder, describe(AVERROR(ENOMEM))};

  int err = avcodec_parameters_to_context(decoder_.get(), stream_->codecpar);
  if (err >= 0) {
    decoder_->pkt_timebase = stream_->time_base;
    useAllCores(*decoder_);
    err = avcodec_open2(decoder_.get(), decoder, nullptr);
  }
  if (err < 0)
    return Failure{Stage::Decoder,
                   "the " + codec + " decoder cannot be opened: " + describe(err)};
  AVRational rate = nominalRate(*stream_);
  if (rate.num > 0) nominalDuration_ = av_rescale_q(1, av_inv_q(rate), stream_->time_base);
  return std::nullopt;
}

std::optional<Failure> Reader::start(double ss, double t) {
  if (!decoder_) return Failure{Stage::Start, "the video decoder is not open"};
  AVRational timeBase = stream_->time_base;
  std::int64_t origin = stream_->start_time == AV_NOPTS_VALUE ? 0 : stream_->start_time;
  rangeStart_ = origin + ticksFrom(ss, timeBase);
  rangeEnd_ = rangeStart_ + ticksFrom(t, timeBase);

  // A range from the first frame needs no seek, which also spares formats that cannot seek.
  if (rangeStart_ > origin) {
    int err = av_seek_frame(format_, stream_->index, rangeStart_, AVSEEK_FLAG_BACKWARD);
    if (err < 0)
      return Failure{Stage::Start, "cannot seek to " + secondsText(ss) + " s: " + describe(err)};
  }
  int status = advance();
  if (status < 0 && status != AVERROR_EOF)
    return Failure{Stage::Start, "the first frame cannot be read: " + describe(status)};
  ready_ = status == 0;
  return std::nullopt;
}

std::optional<Frame> Reader::next() {
  int status = ready_ ? 0 : advance();
  ready_ = false;
  if (status == AVERROR_EOF) return std::nullopt;
  if (status < 0) {
    error_ = describe(status);
    return std::nullopt;
  }
  auto [pts, duration] = placeInRange(*decoded_);
  int err = convertToBgra();
  av_frame_unref(decoded_.get());
  if (err < 0) {
    status_ = err;
    error_ = "the decoded frames cannot be converted to BGRA: " + describe(err);
    return std::nullopt;
  }
  return Frame{bgra_->data[0], bgra_->width, bgra_->height, bgra_->linesize[0], pts, duration};
}

Timing Reader::timing() const {
  AVRational rate = nominalRate(*stream_);
  AVRational base = stream_->time_base;
  return {{base.num, base.den}, {rate.num, rate.den}, rangeStart_ * av_q2d(base), rangeEnd_ * av_q2d(base)};
}

// A frame's pts and duration from the start of the range. A frame without a timestamp
// follows the one before; a frame without a duration lasts one frame at the nominal rate.
std::pair<std::int64_t, std::int64_t> Reader::placeInRange(const AVFrame& frame) {
  std::int64_t pts = frame.best_effort_timestamp;
  pts = pts == AV_NOPTS_VALUE ? rangeStart_ + nextPts_ : pts;
  std::int64_t duration = frame.pkt_duration > 0 ? frame.pkt_duration : nominalDuration_;
  duration = std::max<std::int64_t>(0, std::min(duration, rangeEnd_ - pts));
  nextPts_ = pts - rangeStart_ + duration;
  return {pts - rangeStart_, duration};
}

// Decodes up to the next frame of the range. Returns 0 with the frame in decoded_,
// AVERROR_EOF once the range is over, or the fatal error; after either it only repeats it.
int Reader::advance() {
  while (status_ == 0) {
    if (int err = receiveFrame(); err < 0) {
      status_ = err == AVERROR_EOF && readError_ ? readError_ : err;
      break;
    }
    std::int64_t pts = decoded_->best_effort_timestamp;
    // A frame without a timestamp cannot be placed; keeping it is the lesser harm.
    if (pts == AV_NOPTS_VALUE || (pts >= rangeStart_ && pts < rangeEnd_)) return 0;
    av_frame_unref(decoded_.get());
    // The decoder hands frames out in presentation order, so none after this one is inside.
    if (pts >= rangeEnd_) status_ = AVERROR_EOF, filledRange_ = true;
  }
  return status_;
}

// Returns 0 with a frame in decoded_, AVERROR_EOF once the decoder is drained, or an error.
int Reader::receiveFrame() {
  for (;;) {
    int err = avcodec_receive_frame(decoder_.get(), decoded_.get());
    if (err == AVERROR_INVALIDDATA) continue;  // a damaged frame, concealed or dropped
    if (err != AVERROR(EAGAIN)) return err;
    if ((err = sendNextPacket()) < 0) return err;
  }
}

// Feeds the decoder the next packet of the track. At the end of the file, or where it cannot
// be read further, the empty packet makes the decoder give up the frames it still holds; a
// read error is reported once they are out. A damaged packet is still taken: the decoder
// conceals or drops it, and its error may surface with a later packet, even the empty one.
int Reader::sendNextPacket() {
  int err = readTrackPacket();
  if (err == 0) {
    err = avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
  } else {
    if (err != AVERROR_EOF) readError_ = err;
    err = avcodec_send_packet(decoder_.get(), nullptr);
  }
  return err == AVERROR_INVALIDDATA ? 0 : err;
}

int Reader::readTrackPacket() {
  for (;;) {
    int err = av_read_frame(format_, packet_.get());
    if (err < 0 || packet_->stream_index == stream_->index) return err;
    av_packet_unref(packet_.get());
  }
}

// Converts decoded_ into bgra_, whose buffer is reused from frame to frame.
int Reader::convertToBgra() {
  const AVFrame& frame = *decoded_;
  Layout layout{frame.width, frame.height, frame.format, frame.colorspace, frame.color_range};
  if (!converter_ || layout != layout_) {
    av_frame_unref(bgra_.get());  // a new size needs a new buffer, allocated by the converter
    converter_.reset(makeConverter(frame));
    if (!converter_) return AVERROR(EINVAL);
    layout_ = layout;
  }
  return sws_scale_frame(converter_.get(), bgra_.get(), decoded_.get());
}

}  // namespace video
