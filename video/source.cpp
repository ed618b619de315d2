// Opening a video file: container, first video track, frame rate and display orientation.
//
// How FFmpeg's failures map onto the caller's stages:
//   Stage::Open (V1)       avformat_open_input or avformat_find_stream_info fails (missing,
//                          unreadable, empty or truncated file, unknown container), or no
//                          stream is real video.
//   Stage::Properties (V2) the first video stream has no picture size, or a display matrix
//                          too short to hold one.
// Decoder and range failures (V3, V4) belong to the reader.
#include <algorithm>
#include <cmath>

#include "video/errors.h"
#include "video/streams.h"
#include "video/video.h"

namespace video {
namespace {

constexpr std::size_t kDisplayMatrixBytes = 9 * sizeof(std::int32_t);

// Only the chosen stream is demuxed; the others would only be read to be thrown away.
void discardAllBut(const AVFormatContext& format, const AVStream& kept) {
  for (unsigned i = 0; i < format.nb_streams; ++i)
    if (format.streams[i] != &kept) format.streams[i]->discard = AVDISCARD_ALL;
}

}  // namespace

Transform transformFromDisplayMatrix(const std::int32_t* matrix, int width, int height) {
  if (!matrix) return {};
  // The matrix maps (p, q) to (a·p + c·q, b·p + d·q) in pixel coordinates with y down, in
  // 16.16 fixed point. Its translation is in the track's presentation units and is dropped:
  // the corner is put back at the origin below.
  double a = matrix[0] / 65536.0, b = matrix[1] / 65536.0;
  double c = matrix[3] / 65536.0, d = matrix[4] / 65536.0;
  double det = a * d - b * c;
  if (!(std::abs(det) > 1e-9)) return {};  // a singular matrix shows nothing; ignore it
  // Only the orientation matters to the caller, who resizes afterwards: drop any scale.
  double s = std::sqrt(std::abs(det));
  // Seen with y up, the same map is conjugated by a vertical flip, which negates the
  // off-diagonal terms.
  Transform t{a / s, -b / s, -c / s, d / s, 0, 0};
  double xs[] = {0, t.a * width, t.c * height, t.a * width + t.c * height};
  double ys[] = {0, t.b * width, t.d * height, t.b * width + t.d * height};
  t.tx = 0.0 - *std::min_element(std::begin(xs), std::end(xs));
  t.ty = 0.0 - *std::min_element(std::begin(ys), std::end(ys));
  return t;
}

std::optional<Failure> Source::open(const std::string& path) {
  // FFmpeg's own messages would interleave with the program's lines on standard error.
  av_log_set_level(AV_LOG_QUIET);

  // The path is a file's, even where it looks like a URL ("take:2.mp4" names no protocol).
  std::string url = "file:" + path;
  AVFormatContext* opened = nullptr;
  if (int err = avformat_open_input(&opened, url.c_str(), nullptr, nullptr); err < 0)
    return Failure{Stage::Open, describe(err)};
  format_.reset(opened);
  if (int err = avformat_find_stream_info(opened, nullptr); err < 0)
    return Failure{Stage::Open, describe(err)};

  stream_ = firstStream(*opened, AVMEDIA_TYPE_VIDEO);
  if (!stream_) return Failure{Stage::Open, describe(AVERROR_STREAM_NOT_FOUND)};

  const AVCodecParameters& params = *stream_->codecpar;
  if (params.width <= 0 || params.height <= 0)
    return Failure{Stage::Properties, "the video stream has no picture size"};
  std::size_t matrixBytes = 0;
  const std::uint8_t* matrix =
      av_stream_get_side_data(stream_, AV_PKT_DATA_DISPLAYMATRIX, &matrixBytes);
  if (matrix && matrixBytes < kDisplayMatrixBytes)
    return Failure{Stage::Properties, "the video stream's display matrix is incomplete"};

  frameRate_ = static_cast<float>(av_q2d(nominalRate(*stream_)));
  transform_ = transformFromDisplayMatrix(reinterpret_cast<const std::int32_t*>(matrix),
                                          params.width, params.height);
  discardAllBut(*opened, *stream_);
  return std::nullopt;
}

}  // namespace video
