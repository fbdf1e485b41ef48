#include "pipeline/summary_video_export.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "core/error.h"
#include "core/handle.h"
#include "core/mp4_boxes.h"
#include "core/vault_paths.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_reader.h"
#include "media/chunk_frame_decoder.h"
#include "media/memory_media_input.h"
#include "pipeline/pipeline_error.h"

namespace tolvo {
namespace {

// The join's time line in flicks (1/705600000 s): 1/600 s and every usual audio sample
// period (8000 … 96000 Hz, 22050, 11025) are whole numbers of it, so laying parts end to end
// never rounds.
constexpr AVRational kTimeLine{1, 705600000};

void closeOutput(AVFormatContext* context) {
  avio_closep(&context->pb);
  avformat_free_context(context);
}
void freeDictionary(AVDictionary* dictionary) { av_dict_free(&dictionary); }

using OutputContext = Handle<AVFormatContext, closeOutput>;
using CodecContext = CodecContextHandle;
using Frame = FrameHandle;
using Packet = PacketHandle;
using Dictionary = Handle<AVDictionary, freeDictionary>;
using Scaler = ScalerHandle;

[[noreturn]] void fail(const std::string& reason) {
  throw PipelineError::remoteRequestFailed("Video export failed: " + reason);
}

// Raises for a negative FFmpeg status, naming the step that failed.
int check(int status, const std::string& step) {
  if (status < 0) fail(mediaErrorText(status) + " (" + step + ")");
  return status;
}

template <typename T>
T* allocated(T* pointer) {
  return mediaAllocated(pointer);
}

// One part of the window opened in memory; the demuxer's refusal fails the export.
std::unique_ptr<MemoryMediaInput> openPart(ByteView bytes, const std::string& name) {
  try {
    return std::make_unique<MemoryMediaInput>(bytes, name);
  } catch (const MediaError& e) {
    fail(e.what());
  }
}

bool sameBytes(const std::uint8_t* a, int aSize, const std::uint8_t* b, int bSize) {
  return aSize == bSize && (aSize == 0 || std::memcmp(a, b, static_cast<std::size_t>(aSize)) == 0);
}

// True when packets of `b` can continue a track made from `a` without another sample entry.
bool sameStreamFormat(const AVCodecParameters& a, const AVCodecParameters& b) {
  return a.codec_id == b.codec_id && a.width == b.width && a.height == b.height && a.sample_rate == b.sample_rate &&
         a.ch_layout.nb_channels == b.ch_layout.nb_channels &&
         sameBytes(a.extradata, a.extradata_size, b.extradata, b.extradata_size);
}

// An output track. Its latest packet is held back until the next one (or the end of its
// part) gives its duration: the demuxer does not know the duration of a fragment's sample.
struct Track {
  AVStream* stream = nullptr;
  Packet held{allocated(av_packet_alloc())};
  bool holding = false;
  std::optional<std::int64_t> lastDts;
};

// One part of the window, opened, with the streams that are taken from it.
struct Segment {
  std::unique_ptr<MemoryMediaInput> input;
  int video = -1;  // stream index, -1 for none
  int audio = -1;
  bool copyAudio = false;  // false also when its format differs from the output's audio track
};

// Pictures of a window whose parts have different video formats, decoded part by part and
// encoded again into one H.264 track (libx264 "veryfast", no B-frames) at the first part's
// size.
class Transcoder {
 public:
  // `first`: the first part's video stream, whose size and time base the track takes.
  explicit Transcoder(const AVStream& first) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) fail("no H.264 encoder to join parts recorded with different video settings");
    encoder_.reset(allocated(avcodec_alloc_context3(codec)));
    AVCodecContext* c = encoder_.get();
    c->width = std::max(2, first.codecpar->width & ~1);
    c->height = std::max(2, first.codecpar->height & ~1);
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = first.time_base;
    // The picture rate only guides rate control and the level; times come from the parts.
    c->framerate = first.avg_frame_rate.num > 0 ? first.avg_frame_rate : AVRational{1, 1};
    c->max_b_frames = 0;  // decode order = presentation order: every part's times stay increasing
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "preset", "veryfast", 0);
    av_dict_set(&raw, "tune", "zerolatency", 0);  // each picture's packet before the next picture
    const int status = avcodec_open2(c, codec, &raw);
    const Dictionary leftover(raw);
    check(status, "opening the H.264 encoder");
    picture_.reset(allocated(av_frame_alloc()));
    picture_.get()->format = c->pix_fmt;
    picture_.get()->width = c->width;
    picture_.get()->height = c->height;
    check(av_frame_get_buffer(picture_.get(), 0), "allocating a picture");
    decoded_.reset(allocated(av_frame_alloc()));
    encoded_.reset(allocated(av_packet_alloc()));
  }

  [[nodiscard]] const AVCodecContext& encoder() const noexcept { return *encoder_.get(); }

  // Opens the decoder for the next part's video stream.
  void openDecoder(const AVStream& stream) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (codec == nullptr) fail("no decoder for a part's video");
    decoder_.reset(allocated(avcodec_alloc_context3(codec)));
    check(avcodec_parameters_to_context(decoder_.get(), stream.codecpar), "reading a part's video format");
    decoder_.get()->pkt_timebase = stream.time_base;
    check(avcodec_open2(decoder_.get(), codec, nullptr), "opening a decoder");
    from_ = stream.time_base;
  }

  // Decodes `packet` (nothing: the part's end) and encodes its pictures `offset` (in the
  // encoder's time base) later; each encoded packet goes to `write`.
  template <typename Write>
  void decode(const AVPacket* packet, std::int64_t offset, Write&& write) {
    check(avcodec_send_packet(decoder_.get(), packet), "decoding a part's video");
    AVFrame* frame = decoded_.get();
    for (int status; (status = avcodec_receive_frame(decoder_.get(), frame)) != AVERROR(EAGAIN);) {
      if (status == AVERROR_EOF) break;
      check(status, "decoding a part's video");
      encode(*frame, offset, write);
      av_frame_unref(frame);
    }
  }

  // Drains the encoder.
  template <typename Write>
  void finish(Write&& write) {
    check(avcodec_send_frame(encoder_.get(), nullptr), "encoding the window's video");
    drain(write);
  }

 private:
  template <typename Write>
  void encode(const AVFrame& frame, std::int64_t offset, Write& write) {
    AVCodecContext* c = encoder_.get();
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width, frame.height,
                                       static_cast<AVPixelFormat>(frame.format), c->width, c->height, c->pix_fmt,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) fail("cannot scale a part's pictures");
    AVFrame* picture = picture_.get();
    check(av_frame_make_writable(picture), "allocating a picture");
    check(sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, picture->data, picture->linesize),
          "scaling a picture");
    const std::int64_t at = frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : 0;
    std::int64_t pts = av_rescale_q(at, from_, c->time_base) + offset;
    if (lastPts_ && pts <= *lastPts_) pts = *lastPts_ + 1;
    lastPts_ = pts;
    picture->pts = pts;
    check(avcodec_send_frame(c, picture), "encoding the window's video");
    drain(write);
  }

  template <typename Write>
  void drain(Write& write) {
    AVPacket* packet = encoded_.get();
    for (int status; (status = avcodec_receive_packet(encoder_.get(), packet)) != AVERROR(EAGAIN);) {
      if (status == AVERROR_EOF) break;
      check(status, "encoding the window's video");
      write(packet);
    }
  }

  CodecContext encoder_;
  CodecContext decoder_;
  Scaler scaler_;
  Frame picture_;
  Frame decoded_;
  Packet encoded_;
  AVRational from_{1, 1};
  std::optional<std::int64_t> lastPts_;
};

// Joins parts into one MP4 written by libavformat into an anonymous memory file, which
// faststart can re-read and shift as it needs a real seekable file.
class WindowJoin {
 public:
  explicit WindowJoin(std::vector<Bytes>& parts) : bytes_(parts) {
    packet_.reset(allocated(av_packet_alloc()));
    openSegments();
    openOutput();
  }

  [[nodiscard]] Bytes run() {
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      if (parts_[i].video >= 0) copySegment(i);
      parts_[i].input.reset();
      Bytes().swap(bytes_[i]);  // released as soon as it is copied
    }
    if (transcoder_) {
      transcoder_->finish([this](AVPacket* packet) { write(video_, packet, transcoder_->encoder().time_base, 0); });
      release(video_, cursor_);
    }
    check(av_write_trailer(output_.get()), "finishing the video");
    AVFormatContext* context = output_.get();
    avio_flush(context->pb);
    const int status = context->pb->error;
    check(avio_closep(&context->pb), "finishing the video");
    check(status, "writing the video");
    return readBack();
  }

 private:
  void openSegments() {
    std::optional<std::size_t> firstAudio;
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
      Segment part;
      part.input = openPart(bytes_[i], "part " + std::to_string(i + 1));
      AVFormatContext* context = part.input->context();
      part.video = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      part.audio = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
      if (part.video >= 0) {
        if (!firstVideo_) firstVideo_ = i;
        if (part.audio >= 0 && !firstAudio) firstAudio = i;
      }
      parts_.push_back(std::move(part));
    }
    if (!firstVideo_) throw PipelineError(PipelineError::Kind::noRelevantRecording);
    const AVCodecParameters& video = *streamOf(*firstVideo_, parts_[*firstVideo_].video).codecpar;
    for (Segment& part : parts_) {
      if (part.video < 0) continue;
      if (!sameStreamFormat(video, *streamOf(part, part.video).codecpar)) reencode_ = true;
      // Another audio format cannot continue the track: that part leaves a gap instead.
      part.copyAudio = part.audio >= 0 && sameStreamFormat(*streamOf(*firstAudio, parts_[*firstAudio].audio).codecpar,
                                                           *streamOf(part, part.audio).codecpar);
    }
    audioTemplate_ = firstAudio;
  }

  [[nodiscard]] const AVStream& streamOf(const Segment& part, int index) const {
    return *part.input->context()->streams[index];
  }
  [[nodiscard]] const AVStream& streamOf(std::size_t part, int index) const { return streamOf(parts_[part], index); }

  void openOutput() {
    file_.reset(::memfd_create("summary-video", MFD_CLOEXEC));
    if (!file_) throw SystemError::fromErrno(errno, "memfd_create");
    const std::string url = "/proc/self/fd/" + std::to_string(file_.get());
    AVFormatContext* context = nullptr;
    check(avformat_alloc_output_context2(&context, nullptr, "mp4", url.c_str()), "creating the video");
    output_.reset(context);

    const AVStream& firstVideo = streamOf(*firstVideo_, parts_[*firstVideo_].video);
    video_.stream = allocated(avformat_new_stream(context, nullptr));
    if (reencode_) {
      transcoder_ = std::make_unique<Transcoder>(firstVideo);
      check(avcodec_parameters_from_context(video_.stream->codecpar, &transcoder_->encoder()), "creating the video");
      video_.stream->time_base = transcoder_->encoder().time_base;
    } else {
      copyStreamFormat(firstVideo, *video_.stream);
    }
    if (audioTemplate_) {
      audio_.stream = allocated(avformat_new_stream(context, nullptr));
      copyStreamFormat(streamOf(*audioTemplate_, parts_[*audioTemplate_].audio), *audio_.stream);
    }
    check(avio_open(&context->pb, url.c_str(), AVIO_FLAG_WRITE), "creating the video");
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "movflags", "+faststart", 0);  // the movie header first
    const int status = avformat_write_header(context, &raw);
    const Dictionary leftover(raw);
    check(status, "writing the movie header");
  }

  void copyStreamFormat(const AVStream& from, AVStream& to) const {
    check(avcodec_parameters_copy(to.codecpar, from.codecpar), "creating the video");
    // Keep the input's sample entry type (hvc1) when MP4 allows it for the codec.
    const AVCodecTag* const* tags = output_.get()->oformat->codec_tag;
    if (tags != nullptr && av_codec_get_id(tags, from.codecpar->codec_tag) != from.codecpar->codec_id)
      to.codecpar->codec_tag = 0;
    to.time_base = from.time_base;
  }

  // Copies part `index` starting at the cursor, then moves the cursor to the part's end: the
  // later end of its video and audio tracks on its own time line.
  void copySegment(std::size_t index) {
    const Segment& part = parts_[index];
    AVFormatContext* context = part.input->context();
    const std::string step = "reading part " + std::to_string(index + 1);
    if (transcoder_) transcoder_->openDecoder(streamOf(part, part.video));
    const std::int64_t offset = transcoder_ ? av_rescale_q(cursor_, kTimeLine, transcoder_->encoder().time_base) : 0;
    const auto writeEncoded = [this](AVPacket* p) { write(video_, p, transcoder_->encoder().time_base, 0); };
    std::int64_t videoEnd = trackEnd(part, part.video);
    std::int64_t audioEnd = part.audio >= 0 ? trackEnd(part, part.audio) : 0;
    AVPacket* packet = packet_.get();
    for (int status; (status = av_read_frame(context, packet)) != AVERROR_EOF; av_packet_unref(packet)) {
      check(status, step);
      const int stream = packet->stream_index;
      const bool audio = stream == part.audio && part.copyAudio;
      if (stream != part.video && !audio) continue;
      if (packet->pts == AV_NOPTS_VALUE) packet->pts = packet->dts;
      if (packet->pts == AV_NOPTS_VALUE) continue;
      const AVRational from = context->streams[stream]->time_base;
      std::int64_t& end = audio ? audioEnd : videoEnd;
      end = std::max(end, av_rescale_q(packet->pts + packet->duration, from, kTimeLine));
      if (audio) {
        write(audio_, packet, from, cursor_);
      } else if (transcoder_) {
        transcoder_->decode(packet, offset, writeEncoded);
      } else {
        write(video_, packet, from, cursor_);
      }
    }
    if (transcoder_) transcoder_->decode(nullptr, offset, writeEncoded);
    release(video_, cursor_ + videoEnd);
    if (part.copyAudio) release(audio_, cursor_ + audioEnd);
    cursor_ += std::max(videoEnd, audioEnd);
  }

  // Where the track `index` of `part` ends on the part's time line, as its demuxer reports it
  // (the end of the last sample of the last fragment); 0 when unknown.
  [[nodiscard]] std::int64_t trackEnd(const Segment& part, int index) const {
    const AVStream& stream = streamOf(part, index);
    return stream.duration > 0 ? av_rescale_q(stream.duration, stream.time_base, kTimeLine) : 0;
  }

  // Adds `packet` (times in `from`) `start` (in kTimeLine) later to `track`, keeping decode
  // times increasing. Writes the packet held before it, which lasts until this one.
  void write(Track& track, AVPacket* packet, AVRational from, std::int64_t start) {
    const AVRational to = track.stream->time_base;
    av_packet_rescale_ts(packet, from, to);
    const std::int64_t offset = av_rescale_q(start, kTimeLine, to);
    if (packet->dts == AV_NOPTS_VALUE) packet->dts = packet->pts;
    packet->pts += offset;
    packet->dts += offset;
    if (track.lastDts && packet->dts <= *track.lastDts) {
      packet->dts = *track.lastDts + 1;
      packet->pts = std::max(packet->pts, packet->dts);
    }
    track.lastDts = packet->dts;
    if (track.holding) {
      track.held.get()->duration = packet->dts - track.held.get()->dts;
      send(track);
    }
    av_packet_move_ref(track.held.get(), packet);
    track.holding = true;
  }

  // Writes the packet `track` holds, lasting until `end` (in kTimeLine).
  void release(Track& track, std::int64_t end) {
    if (!track.holding) return;
    AVPacket* held = track.held.get();
    held->duration = std::max<std::int64_t>(1, av_rescale_q(end, kTimeLine, track.stream->time_base) - held->pts);
    send(track);
  }

  void send(Track& track) {
    AVPacket* held = track.held.get();
    held->stream_index = track.stream->index;
    held->pos = -1;
    track.holding = false;
    check(av_interleaved_write_frame(output_.get(), held), "writing the video");
  }

  [[nodiscard]] Bytes readBack() {
    struct stat status {};
    if (::fstat(file_.get(), &status) != 0) throw SystemError::fromErrno(errno, "fstat", "the joined video");
    Bytes out(static_cast<std::size_t>(status.st_size));
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t n = ::pread(file_.get(), out.data() + done, out.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw SystemError::fromErrno(errno, "read", "the joined video");
      if (n == 0) fail("the joined video ended early");
      done += static_cast<std::size_t>(n);
    }
    file_.reset();
    return out;
  }

  std::vector<Bytes>& bytes_;
  std::vector<Segment> parts_;
  std::optional<std::size_t> firstVideo_;
  std::optional<std::size_t> audioTemplate_;
  bool reencode_ = false;
  FileDescriptor file_;
  OutputContext output_;
  std::unique_ptr<Transcoder> transcoder_;
  Track video_;
  Track audio_;
  Packet packet_;
  std::int64_t cursor_ = 0;  // where the next part starts, in kTimeLine
};

}  // namespace

SummaryVideoExport::SummaryVideoExport(const KeyManager& keys, std::filesystem::path chunksDirectory)
    : keys_(keys), chunksDirectory_(std::move(chunksDirectory)) {}

Bytes SummaryVideoExport::exportSummaryWindowChunks(const std::vector<Chunk>& chunks) const {
  if (chunks.empty()) throw PipelineError(PipelineError::Kind::noRelevantRecording);
  if (chunks.size() == 1) return exportSummaryChunk(chunks.front());
  // A chunk closed before its first picture (a stop or a lock right after the chunks
  // rotated) has nothing to show: it is left out instead of failing the whole window.
  std::vector<Bytes> parts;
  parts.reserve(chunks.size());
  for (const Chunk& chunk : chunks) {
    if (chunk.mp4PlainLen == 0) continue;
    if (std::optional<Bytes> part = playablePlaintext(chunk)) parts.push_back(std::move(*part));
  }
  if (parts.size() == 1) return std::move(parts.front());
  return mergeSummaryVideoFiles(std::move(parts));
}

Bytes SummaryVideoExport::exportSummaryChunk(const Chunk& chunk) const {
  std::optional<Bytes> plaintext = playablePlaintext(chunk);
  if (!plaintext) throw PipelineError(PipelineError::Kind::chunkNotFound);
  return std::move(*plaintext);
}

std::optional<Bytes> SummaryVideoExport::playablePlaintext(const Chunk& chunk) const {
  const std::optional<SymmetricKey> masterKey = keys_.getMasterKey();
  if (!masterKey) throw PipelineError(PipelineError::Kind::vaultLocked);
  const SymmetricKey chunkKey = keys_.deriveChunkKey(*masterKey, chunk.id);
  const std::optional<std::filesystem::path> path = resolveInside(chunksDirectory_, chunk.fileRelpath);
  std::error_code error;
  if (!path || std::filesystem::symlink_status(*path, error).type() == std::filesystem::file_type::not_found)
    throw PipelineError(PipelineError::Kind::chunkNotFound);

  QXVReader reader(*path, chunkKey);
  const auto closeQuietly = [&reader] {
    try {
      reader.close();
    } catch (const Error&) {  // everything needed has been read
    }
  };
  if (!chunk.mp4PlainLen || *chunk.mp4PlainLen < 1) {
    closeQuietly();
    throw PipelineError(PipelineError::Kind::chunkNotFound);
  }
  const std::int64_t length = *chunk.mp4PlainLen;
  Bytes plaintext = reader.readRange(0, length, length);
  closeQuietly();
  // A chunk recovered after a crash ends inside its last fragment, which is left out. One
  // without a complete movie header holds no playable picture (the recorder writes that
  // header with the first one): there is no recording in it to export.
  const std::size_t complete = completeMp4Prefix(plaintext);
  if (complete == 0) return std::nullopt;
  plaintext.resize(complete);
  return plaintext;
}

Bytes SummaryVideoExport::mergeSummaryVideoFiles(std::vector<Bytes> parts) const {
  if (parts.empty()) throw PipelineError(PipelineError::Kind::noRelevantRecording);
  return WindowJoin(parts).run();
}

}  // namespace tolvo
