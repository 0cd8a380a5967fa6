#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/hresult.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;

namespace vxr {

class CPictureConverter;
class CRawPicture;

// One decoded picture: width x height pixels, 0xffRRGGBB each, row after row (the layout of
// QImage::Format_RGB32). It may be a part of its material: its first pixel is material pixel
// (x, y) of a material_width x material_height picture.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
  int x = 0;
  int y = 0;
  int material_width = 0;  // 0: the picture is the whole material
  int material_height = 0;

  std::size_t Bytes() const { return pixels.size() * sizeof(std::uint32_t); }
  int MaterialWidth() const { return material_width > 0 ? material_width : width; }
  int MaterialHeight() const { return material_height > 0 ? material_height : height; }
};

// A rectangle of a picture's material; a width or height of 0 or less stands for nothing.
struct Crop {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Crop&) const = default;
};

// Decodes single pictures of one movie by frame number. A picture a little after the previous
// one is decoded by reading on; any other is reached by seeking to the nearest key frame before
// it and decoding forward (every frame of an intra-frame codec is a key frame, so those seek
// straight to it, and packets before the one wanted are skipped without decoding). Not
// thread-safe: one worker owns a decoder.
class CMovieDecoder {
 public:
  // Offered pictures decoded on the way to the one asked for: wants(n) says whether picture n is
  // of use and in which form; take(n, picture) receives it converted, keep(n, raw) as decoded
  // (cut to the crop). wants is asked once per decoded picture, so its owner may also use it to
  // attend to other work between two pictures; kGiveUp ends the decoding there (E_FAIL).
  enum class Want { kNo, kPicture, kRaw, kGiveUp };
  struct Bystanders {
    std::function<Want(std::uint32_t)> wants;
    std::function<void(std::uint32_t, std::shared_ptr<const Picture>)> take;
    std::function<void(std::uint32_t, std::shared_ptr<const CRawPicture>)> keep;
  };

  // Packets of the picture stream read at the most for one picture: a damaged movie ends the
  // search instead of reading to its end. Other streams are not read.
  static constexpr int kMaxPacketsPerPicture = 1000;
  // How far ahead reading on beats seeking to the picture (or the longest group of pictures
  // seen, when longer).
  static constexpr std::uint32_t kReadOnLimit = 48;

  // While *stop (may be null) is true, Open and Decode give up within one packet's decoding,
  // reads of the library included: the decoder's owner is shutting down.
  // threads: decoding threads for codecs that predict pictures from others (frame threading);
  // intra-frame codecs decode each picture on slices.
  explicit CMovieDecoder(const std::atomic<bool>* stop = nullptr, int threads = 1);
  ~CMovieDecoder();
  CMovieDecoder(const CMovieDecoder&) = delete;
  CMovieDecoder& operator=(const CMovieDecoder&) = delete;

  // Opens the movie, a regular local file in one of the container formats ProbeMovie accepts,
  // and the decoder of its first decodable video stream. A movie cut short opens. Results:
  // S_OK; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND or ERROR_ACCESS_DENIED); CLV_E_NOT_A_MOVIE;
  // CLV_E_NO_VIDEO; CLV_E_DAMAGED_MOVIE when no picture decodes; E_OUTOFMEMORY.
  HRESULT Open(const std::string& path);
  // Decodes picture frame: frames are numbered at the stream's rate from its declared start
  // (FirstPictureTime), as the probe numbers them. E_FAIL when it cannot be decoded (damaged or
  // missing data, a leading picture whose references were cut off) or the stop was given,
  // OLE_E_NOTRUNNING when no movie is open, E_OUTOFMEMORY. A failure leaves the decoder
  // usable for other pictures.
  // crop, when given, says for material of width x height which part is wanted: only that part
  // is converted and kept (the whole picture when the part is empty).
  using CropRule = std::function<Crop(int width, int height)>;
  HRESULT Decode(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                 const Bystanders* bystanders = nullptr, const CropRule* crop = nullptr);

  // The same, the picture kept as decoded (cut to the crop) rather than converted.
  HRESULT DecodeRaw(std::uint32_t frame, std::shared_ptr<const CRawPicture>* raw,
                    const Bystanders* bystanders = nullptr, const CropRule* crop = nullptr);
  // Decodes the key frame at or before picture frame (the nearest picture that decodes without
  // earlier ones): one seek and one picture. *key receives its number. Results as Decode.
  HRESULT DecodeKeyBefore(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                          std::uint32_t* key, const CropRule* crop = nullptr);

  // Called on the decoding thread before each packet read in search of a picture, so between
  // two packets of a decoding: a test seam (a test may hold the decoding there).
  using PacketHook = std::function<void()>;
  void SetPacketHook(PacketHook hook) { packet_hook_ = std::move(hook); }

  bool IntraOnly() const { return intra_only_; }
  const std::string& path() const { return path_; }
  // Seeks made so far (for tests and the benchmark).
  std::int64_t seeks() const { return seeks_; }

 private:
  std::int64_t NumberOf(std::int64_t timestamp) const;
  std::int64_t TimestampOf(std::uint32_t frame) const;
  enum class Outcome { kFound, kPassed, kFailed, kStopped };
  bool Stopped() const { return stop_ != nullptr && stop_->load(); }
  bool Seek(std::uint32_t frame);
  // Reads and decodes from where the input stands until picture frame comes out (kFound),
  // a later one does (kPassed) or the data gives out (kFailed).
  Outcome ReadUntil(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                    const Bystanders* bystanders);
  // Sends one packet (null: end of stream) and takes what comes out.
  std::optional<Outcome> Feed(AVPacket* packet, std::uint32_t frame,
                              std::shared_ptr<const Picture>* picture,
                              const Bystanders* bystanders);
  // Converts the wanted part of a decoded picture (crop_ of Decode, else all of it).
  // Decodes the first picture that can be decoded: the movie has pictures, and reading on
  // from there gives the next ones.
  bool FindFirstPicture();
  std::shared_ptr<const Picture> Convert(const AVFrame* frame);
  // The part of frame the crop wants (empty: all of it).
  Crop WantedPart(const AVFrame* frame) const;
  // Hands out a decoded picture as asked (kept as decoded, or converted).
  void HandOut(const AVFrame* frame, std::shared_ptr<const Picture>* picture);
  // Offers a decoded picture as frame number to the bystanders; false when they give up.
  bool Offer(std::int64_t number, const AVFrame* frame, const Bystanders* bystanders);
  // frame_, numbered number, is the latest picture decoded (before_); frame_ is left empty.
  void Remember(std::int64_t number);
  // Forgets before_, after_, fed_ and skipped_ (a seek).
  void ForgetGap();
  // A decoded picture numbered number: whether no packet lies between before_ and it.
  bool GapBefore(std::int64_t number) const;
  HRESULT DecodeAny(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                    std::shared_ptr<const CRawPicture>* raw, const Bystanders* bystanders,
                    const CropRule* crop);
  void Close();

  const std::atomic<bool>* const stop_;
  const int threads_;
  std::string path_;
  AVFormatContext* input_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVFrame* part_ = nullptr;  // the wanted part of frame_, a reference to its data
  // A picture shows until the next one starts. With a variable frame rate the next may start
  // several frames later; then the frames between show the picture before (a gap in the
  // stream: no packet was numbered there, unlike a picture that failed to decode).
  AVFrame* before_ = nullptr;        // the latest picture decoded since the seek, a reference
  std::int64_t before_number_ = -1;  // its number, -1 for none
  std::int64_t before_until_ = -1;   // when a gap follows it: the number of the next picture
  AVFrame* after_ = nullptr;         // that next picture, decoded already (a reference)
  std::set<std::int64_t> fed_;       // numbers of the packets sent since before_
  AVPacket* skipped_ = nullptr;      // intra-only codecs: the latest packet left undecoded
  const CropRule* crop_ = nullptr;   // during Decode
  // During DecodeRaw: where the picture goes, kept as decoded.
  std::shared_ptr<const CRawPicture>* raw_out_ = nullptr;
  bool first_only_ = false;  // during DecodeKeyBefore: the first picture out is the one
  AVPacket* packet_ = nullptr;
  std::unique_ptr<CPictureConverter> converter_;
  int stream_ = -1;
  bool intra_only_ = false;
  bool at_end_ = false;     // the stream's end was sent to the decoder
  std::int64_t start_ = 0;  // where picture 0 stands (FirstPictureTime)
  int rate_num_ = 25, rate_den_ = 1;
  int tb_num_ = 1, tb_den_ = 25;
  std::int64_t last_number_ = -1;  // the picture the decoder gave last, -1 after a seek
  std::int64_t last_key_ = -1;     // the key frame it gave last since the seek, -1 for none
  std::int64_t longest_gop_ = 0;   // the most pictures seen from one key frame to the next
  bool given_up_ = false;          // during Decode: the bystanders gave the decoding up
  PacketHook packet_hook_;
  std::int64_t seeks_ = 0;
};

}  // namespace vxr
