// Where the frames of a run come from: the image files of a directory, or the frames of a video.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "image/image_ref.h"

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Number of frames of the sequence.
  virtual size_t FrameCount() const = 0;
  // The name that frame `index`'s outputs are named after (no directory, no extension).
  virtual std::string Stem(size_t index) const = 0;
  // Where results go unless told otherwise: the frames' directory, or the video's folder.
  virtual std::string Folder() const = 0;
  // How messages name frame `index`.
  virtual std::string Describe(size_t index) const = 0;
  // Loads frame `index` in the solver's layout (8-bit, 1 or 3 channels); empty with a reason when
  // it cannot be read. Indices must increase from call to call: a video is read forward only.
  virtual ImageRef Load(size_t index, std::string& reason) = 0;
  // Set when the sequence is damaged after its last readable frame (a truncated video): the
  // message naming the frame that could not be decoded. Frames before it are usable.
  virtual const std::string& Damage() const = 0;
  // Frames the sequence promises after its last readable one (a truncated video), each of which
  // would have begun a pair.
  virtual size_t LostFrames() const { return 0; }
  // Files of the frame directory that have the frames' extension but are this program's own
  // outputs (OutputName in driver/pair_plan.h), left out of the sequence.
  virtual size_t SkippedOutputs() const { return 0; }
  // Frames per second the sequence declares: a video's own rate, 0 when it has none (a directory).
  virtual double FrameRate() const { return 0.0; }
};

// Opens `source`: a directory is listed for the names ending in `imageType` (byte-wise name
// order), less this program's own outputs; a regular file is read as a video. Null with a message
// naming the source and the cause in `error` when it cannot be used.
std::unique_ptr<FrameSource> OpenFrameSource(const std::string& source, const std::string& imageType,
                                             std::string& error);

// Loads an image file as a frame in the solver's layout (ToFrameLayout). Empty handle and a reason
// when the file cannot be read or has an unsupported layout.
ImageRef LoadFrame(const std::string& path, std::string& reason);

// Frame `index` of a video named `videoName` is called <video stem>_<index as six digits>.
std::string VideoFrameStem(const std::string& videoName, size_t index);
