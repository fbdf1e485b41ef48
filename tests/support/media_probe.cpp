#include "support/media_probe.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "support/child_process.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

std::vector<Json> entriesOf(const Json& json, const char* list, int streamIndex) {
  std::vector<Json> out;
  for (const Json& entry : json.value(list, Json::array()))
    if (entry.value("stream_index", -1) == streamIndex) out.push_back(entry);
  return out;
}

// Runs `before`, the path of an anonymous memory file holding `bytes`, `after`: the program
// reads the file through /proc/self/fd (the descriptor is inherited); nothing is put on disk.
ChildResult runOnBytes(std::span<const std::uint8_t> bytes, std::vector<std::string> before,
                       const std::vector<std::string>& after) {
  const int fd = ::memfd_create("media", 0);
  if (fd < 0) throw std::runtime_error("memfd_create failed");
  const std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* f) { ::close(*f); });
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) throw std::runtime_error("cannot write the media file");
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  before.push_back("/proc/self/fd/" + std::to_string(fd));
  before.insert(before.end(), after.begin(), after.end());
  return runChild(before);
}

}  // namespace

Json ProbeResult::stream(const std::string& codecType) const {
  for (const Json& s : json.value("streams", Json::array()))
    if (s.value("codec_type", "") == codecType) return s;
  return Json::object();
}

std::vector<Json> ProbeResult::packetsOf(int streamIndex) const { return entriesOf(json, "packets", streamIndex); }

std::vector<Json> ProbeResult::framesOf(int streamIndex) const { return entriesOf(json, "frames", streamIndex); }

double number(const Json& object, const std::string& key) {
  const auto it = object.find(key);
  if (it == object.end()) return std::nan("");
  return it->is_string() ? std::stod(it->get<std::string>()) : it->get<double>();
}

ProbeResult probeBytes(std::span<const std::uint8_t> bytes, const std::vector<std::string>& show) {
  std::vector<std::string> before = {"ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams"};
  before.insert(before.end(), show.begin(), show.end());
  ChildResult child = runOnBytes(bytes, before, {});
  if (child.out.empty()) throw std::runtime_error("ffprobe printed nothing: " + child.err);
  ProbeResult result{child.exitStatus, std::move(child.err), Json::parse(child.out)};
  // With both packets and frames shown, ffprobe lists them together.
  for (Json& item : result.json.value("packets_and_frames", Json::array()))
    result.json[item.value("type", "") == "packet" ? "packets" : "frames"].push_back(std::move(item));
  return result;
}

std::vector<float> decodeAudio(std::span<const std::uint8_t> bytes) {
  const ChildResult child =
      runOnBytes(bytes, {"ffmpeg", "-nostdin", "-v", "error", "-i"}, {"-map", "0:a:0", "-f", "f32le", "-"});
  if (child.exitStatus != 0 || !child.err.empty()) throw std::runtime_error("ffmpeg failed: " + child.err);
  std::vector<float> samples(child.out.size() / sizeof(float));
  std::memcpy(samples.data(), child.out.data(), samples.size() * sizeof(float));
  return samples;
}

}  // namespace tolvo::test
