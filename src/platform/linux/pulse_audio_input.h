#pragma once

#include <memory>
#include <string>

#include "platform/audio_input.h"

namespace tolvo {

// Captures the default source of the PulseAudio server (PipeWire serves the same protocol)
// through libpulse's threaded main loop, whose thread delivers the blocks. The server is found
// as libpulse finds it ($PULSE_SERVER, then $XDG_RUNTIME_DIR/pulse/native, ...) and is never
// spawned; the connection carries `applicationName`. Throws AudioInputError: noSource when
// there is no server or no default source, streamFailed when the server refuses the stream,
// threadFailed when the capture thread cannot be set up.
[[nodiscard]] std::unique_ptr<AudioInput> openPulseAudioInput(const std::string& applicationName,
                                                              const AudioInputFormat& format,
                                                              AudioBlockHandler handler);

}  // namespace tolvo
