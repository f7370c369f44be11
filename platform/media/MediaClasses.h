#pragma once
// The classes th_media serves from the built-in class table: the DV Splitter,
// the DV Video Decoder, the media detector, the AVI Mux, the File Writer and
// the video and audio renderers. They are put there when the program starts
// the platform (platform/start/PlatformStart.h), not as the library loads.

namespace th::media {

// Idempotent; may be called on any thread.
__attribute__((visibility("default"))) void RegisterBuiltinClasses();

} // namespace th::media
