#pragma once
// Pictures and video files made with FFmpeg's encoders for the camera tests.
#include <cstdint>
#include <string>
#include <vector>

// A JPEG of a grey picture (width x height luma bytes), FFmpeg's MJPEG
// encoder with the standard Huffman tables; quantiser 1 is the finest.
std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& luma, int width, int height, int quantiser = 1);
// The same JPEG without its DHT segments, as many webcams send it.
std::vector<uint8_t> withoutHuffmanTables(const std::vector<uint8_t>& jpeg);
// The same JPEG with a run of set bits (stuffed 0xff bytes) in the middle of
// its entropy-coded data: an invalid Huffman code, which FFmpeg's decoder
// notices and, unless asked to fail, conceals by leaving the rest of the
// picture undecoded.
std::vector<uint8_t> withDamagedScan(const std::vector<uint8_t>& jpeg);
// A video file (container from the name's extension, MPEG-4 video) of
// uniformly grey frames, one per entry of `levels`, stamped 0, 1, 2... or
// with `ticks` (in 1 / framesPerSecond, increasing): a variable-rate file,
// as one with dropped frames. The stream says framesPerSecond as its rate.
bool writeGreyVideo(const std::string& path, int width, int height, int framesPerSecond,
                    const std::vector<uint8_t>& levels, const std::vector<int64_t>& ticks = {});
// A video file of `seconds` made by the ffmpeg command from lavfi inputs and
// filters (`graph`: the arguments that describe the pictures), losslessly
// encoded (FFV1 in Matroska). True when the command succeeded.
bool makeLosslessClip(const std::string& path, const std::string& graph, double seconds);
