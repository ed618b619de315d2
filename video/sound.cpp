// Copying the source's sound over the range into the output file.
//
// The track is read through a second opening of the source, so the video reader goes on
// unaware of it. Samples are placed by the first decoded frame's timestamp and follow one
// another from there, so a timestamp's rounding never opens a gap or an overlap between two
// frames; the range is cut at sample precision on the source's rate, before resampling.
#include "video/sound.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "video/errors.h"
#include "video/streams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace video {
namespace {

const char* encoderName(Container container) { return container == Container::WebM ? "libopus" : "pcm_s16le"; }

// Opus runs at 48 kHz (the lower rates it knows only lose treble); PCM keeps the source's rate.
int outputRate(const AVCodec& codec, int sourceRate) {
  if (!codec.supported_samplerates) return sourceRate;
  for (const int* rate = codec.supported_samplerates; *rate; ++rate)
    if (*rate == 48000) return 48000;
  return codec.supported_samplerates[0];
}

// Opus in WebM carries more than two channels only with a channel map that players handle
// unevenly, so it gets mono or stereo; PCM in MOV keeps every channel.
void chooseLayout(Container container, const AVChannelLayout& source, AVChannelLayout& out) {
  int channels = source.nb_channels > 0 ? source.nb_channels : 2;
  if (container == Container::WebM) channels = std::min(channels, 2);
  if (channels == source.nb_channels && source.order != AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_copy(&out, &source);
  else
    av_channel_layout_default(&out, channels);
}

// Samples from the range start: huge or unreadable ranges saturate instead of overflowing.
std::int64_t samplesFrom(double seconds, int rate) { return ticksFrom(seconds, AVRational{1, rate}); }

}  // namespace

std::optional<std::string> SoundTrack::open(const std::string& from, double start, double end, Container container,
                                            AVFormatContext& output) {
  std::string url = "file:" + from;
  AVFormatContext* opened = nullptr;
  if (int err = avformat_open_input(&opened, url.c_str(), nullptr, nullptr); err < 0)
    return "the sound cannot be read: " + describe(err);
  input_.reset(opened);
  if (int err = avformat_find_stream_info(opened, nullptr); err < 0) return "the sound cannot be read: " + describe(err);
  source_ = firstStream(*opened, AVMEDIA_TYPE_AUDIO);
  if (!source_) return std::nullopt;
  for (unsigned i = 0; i < opened->nb_streams; ++i)
    if (opened->streams[i] != source_) opened->streams[i]->discard = AVDISCARD_ALL;

  const AVCodec* decoder = avcodec_find_decoder(source_->codecpar->codec_id);
  if (!decoder) return std::string("the sound cannot be decoded: ") + describe(AVERROR_DECODER_NOT_FOUND);
  decoder_.reset(avcodec_alloc_context3(decoder));
  packet_.reset(av_packet_alloc());
  decoded_.reset(av_frame_alloc());
  chunk_.reset(av_frame_alloc());
  if (!decoder_ || !packet_ || !decoded_ || !chunk_) return describe(AVERROR(ENOMEM));
  int err = avcodec_parameters_to_context(decoder_.get(), source_->codecpar);
  if (err >= 0) {
    decoder_->pkt_timebase = source_->time_base;
    err = avcodec_open2(decoder_.get(), decoder, nullptr);
  }
  if (err < 0) return "the sound cannot be decoded: " + describe(err);
  if (decoder_->sample_rate <= 0) return "the sound has no sample rate";

  const AVCodec* codec = avcodec_find_encoder_by_name(encoderName(container));
  if (!codec) return std::string("this FFmpeg has no ") + encoderName(container) + " encoder";
  AVCodecContext* encoder = avcodec_alloc_context3(codec);
  if (!encoder) return describe(AVERROR(ENOMEM));
  encoder_.reset(encoder);
  encoder->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  encoder->sample_rate = outputRate(*codec, decoder_->sample_rate);
  chooseLayout(container, decoder_->ch_layout, encoder->ch_layout);
  encoder->time_base = {1, encoder->sample_rate};
  if (container == Container::WebM) encoder->bit_rate = 64000 * encoder->ch_layout.nb_channels;
  if (output.oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if ((err = avcodec_open2(encoder, codec, nullptr)) < 0) return "the sound cannot be encoded: " + describe(err);

  output_ = &output;
  stream_ = avformat_new_stream(&output, nullptr);
  if (!stream_) return describe(AVERROR(ENOMEM));
  if ((err = avcodec_parameters_from_context(stream_->codecpar, encoder)) < 0) return describe(err);
  stream_->time_base = encoder->time_base;

  buffered_.reset(av_audio_fifo_alloc(encoder->sample_fmt, encoder->ch_layout.nb_channels, encoder->sample_rate));
  if (!buffered_) return describe(AVERROR(ENOMEM));

  start_ = start;
  length_ = samplesFrom(end - start, decoder_->sample_rate);
  std::int64_t target = ticksFrom(start, source_->time_base);
  std::int64_t origin = source_->start_time == AV_NOPTS_VALUE ? 0 : source_->start_time;
  // A failed seek only costs reading from the beginning: whatever comes before is cut.
  if (target > origin) av_seek_frame(opened, source_->index, target, AVSEEK_FLAG_BACKWARD);
  return std::nullopt;
}

int SoundTrack::copyUntil(double seconds) {
  const std::int64_t wanted = samplesFrom(seconds, encoder_->sample_rate);
  auto reached = [&] { return outStart_ >= 0 && outStart_ + consumed_ + av_audio_fifo_size(buffered_.get()) >= wanted; };
  while (!inputDone_ && !reached()) {
    int err = decodeNext();
    if (err == AVERROR_EOF) inputDone_ = true;
    else if (err < 0) return err;
  }
  return encodeBuffered(false);
}

int SoundTrack::finish() {
  while (!inputDone_) {
    int err = decodeNext();
    if (err == AVERROR_EOF) inputDone_ = true;
    else if (err < 0) return err;
  }
  // A resampler holds back a few samples of filter delay; they belong to the range's end.
  if (resampler_ && outStart_ >= 0)
    if (int err = convert(nullptr, 0); err < 0) return err;
  if (int err = encodeBuffered(true); err < 0) return err;
  if (int err = avcodec_send_frame(encoder_.get(), nullptr); err < 0) return err;
  return writePackets();
}

// Decodes one more frame and keeps its part inside the range. AVERROR_EOF once the range or
// the file is over.
int SoundTrack::decodeNext() {
  for (;;) {
    int err = avcodec_receive_frame(decoder_.get(), decoded_.get());
    if (err == 0) {
      err = keep(*decoded_);
      av_frame_unref(decoded_.get());
      return err;
    }
    if (err == AVERROR_INVALIDDATA) continue;  // a damaged frame, concealed or dropped
    if (err != AVERROR(EAGAIN)) return err;
    if ((err = sendNextPacket()) < 0) return err;
  }
}

// At the end of the file the empty packet makes the decoder give up what it still holds.
int SoundTrack::sendNextPacket() {
  int err;
  while ((err = av_read_frame(input_.get(), packet_.get())) >= 0 && packet_->stream_index != source_->index)
    av_packet_unref(packet_.get());
  if (err == AVERROR_EOF) return avcodec_send_packet(decoder_.get(), nullptr);
  if (err < 0) return err;
  err = avcodec_send_packet(decoder_.get(), packet_.get());
  av_packet_unref(packet_.get());
  return err == AVERROR_INVALIDDATA ? 0 : err;
}

int SoundTrack::keep(const AVFrame& frame) {
  const int rate = decoder_->sample_rate;
  if (!placed_) {
    double seconds = frame.best_effort_timestamp == AV_NOPTS_VALUE
                         ? start_
                         : frame.best_effort_timestamp * av_q2d(source_->time_base);
    position_ = samplesFrom(seconds - start_, rate);
    placed_ = true;
  }
  const std::int64_t from = position_, to = position_ + frame.nb_samples;
  position_ = to;
  const std::int64_t first = std::max<std::int64_t>(from, 0), last = std::min(to, length_);
  if (last > first) {
    if (!resampler_) {
      SwrContext* made = nullptr;
      AVChannelLayout in{};
      if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&in, frame.ch_layout.nb_channels);
      else av_channel_layout_copy(&in, &frame.ch_layout);
      int err = swr_alloc_set_opts2(&made, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate, &in,
                                    static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
      av_channel_layout_uninit(&in);
      resampler_.reset(made);
      if (err < 0 || (err = swr_init(made)) < 0) return err;
    }
    if (outStart_ < 0) outStart_ = av_rescale(first, encoder_->sample_rate, rate);
    // The kept samples start (first - from) samples into the frame, in each plane.
    auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? frame.ch_layout.nb_channels : 1;
    const std::int64_t skip = (first - from) * av_get_bytes_per_sample(format) * (planar ? 1 : frame.ch_layout.nb_channels);
    std::vector<const std::uint8_t*> samples(static_cast<std::size_t>(planes));
    for (int i = 0; i < planes; ++i) samples[i] = frame.extended_data[i] + skip;
    if (int err = convert(samples.data(), static_cast<int>(last - first)); err < 0) return err;
  }
  return to >= length_ ? AVERROR_EOF : 0;
}

// Resamples count samples (none: the resampler's own remainder) onto the end of the buffer.
int SoundTrack::convert(const std::uint8_t* const* samples, int count) {
  int capacity = swr_get_out_samples(resampler_.get(), count);
  if (capacity <= 0) return capacity;
  std::uint8_t** out = nullptr;
  int err = av_samples_alloc_array_and_samples(&out, nullptr, encoder_->ch_layout.nb_channels, capacity,
                                               encoder_->sample_fmt, 0);
  if (err < 0) return err;
  int made = swr_convert(resampler_.get(), out, capacity, const_cast<const std::uint8_t**>(samples), count);
  if (made > 0) err = av_audio_fifo_write(buffered_.get(), reinterpret_cast<void**>(out), made);
  av_freep(&out[0]);
  av_freep(&out);
  return made < 0 ? made : std::min(err, 0);
}

// Encodes the buffered samples in the encoder's frame size; with all, the short remainder too,
// padded with silence for an encoder that takes whole frames only.
int SoundTrack::encodeBuffered(bool all) {
  const int frameSize = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
  const bool shortLast = !encoder_->frame_size || (encoder_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
  for (;;) {
    const int available = av_audio_fifo_size(buffered_.get());
    if (available == 0 || (available < frameSize && !all)) return 0;
    const int count = std::min(available, frameSize);
    AVFrame& chunk = *chunk_;
    av_frame_unref(&chunk);
    chunk.nb_samples = count < frameSize && !shortLast ? frameSize : count;
    chunk.format = encoder_->sample_fmt;
    chunk.sample_rate = encoder_->sample_rate;
    if (int err = av_channel_layout_copy(&chunk.ch_layout, &encoder_->ch_layout); err < 0) return err;
    if (int err = av_frame_get_buffer(&chunk, 0); err < 0) return err;
    av_samples_set_silence(chunk.extended_data, 0, chunk.nb_samples, encoder_->ch_layout.nb_channels,
                           encoder_->sample_fmt);
    if (int err = av_audio_fifo_read(buffered_.get(), reinterpret_cast<void**>(chunk.extended_data), count); err < 0)
      return err;
    // Opus stamps each packet earlier by its encoder delay, which WebM's track header already
    // tells the player to discard; stamping the samples that much later puts the first one
    // back at its own time, level with the video.
    chunk.pts = outStart_ + consumed_ + encoder_->initial_padding;
    consumed_ += count;
    if (int err = avcodec_send_frame(encoder_.get(), &chunk); err < 0) return err;
    if (int err = writePackets(); err < 0) return err;
  }
}

int SoundTrack::writePackets() {
  for (;;) {
    int err = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return 0;
    if (err < 0) return err;
    av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
    packet_->stream_index = stream_->index;
    if ((err = av_interleaved_write_frame(output_, packet_.get())) < 0) return err;
  }
}

}  // namespace video
