// The gray-release answer through ApplyGrayAnswer, without network. Raw
// input is read as the whole answer; with a leading '#' the input instead
// fills a well-formed answer (expire, download URL), whose decision must
// then be exactly what it says.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>

#include "../fuzz_scratch.h"
#include "net/gray.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in((const char*)data, size);
  bool gray = false;
  WString url;
  if (in.empty() || in[0] != '#') {
    ApplyGrayAnswer(in, gray, url);
    fuzz::Check(gray || url.empty());
    return 0;
  }
  int32_t expire = in.size() > 1 ? (int8_t)in[1] : 0;
  std::string link = in.size() > 2 ? in.substr(2) : std::string();
  rapidjson::StringBuffer answer;
  rapidjson::Writer<rapidjson::StringBuffer> w(answer);
  w.StartObject();
  w.Key("status");
  w.Int(1);
  w.Key("data");
  w.StartObject();
  w.Key("expire");
  w.Int(expire);
  w.Key("entity");
  w.StartObject();
  w.Key("downloadUrl");
  w.String(link.data(), (rapidjson::SizeType)link.size());
  w.EndObject();
  w.EndObject();
  w.EndObject();
  ApplyGrayAnswer(std::string(answer.GetString(), answer.GetSize()) + " \r\n", gray, url);
  fuzz::Check(gray == (expire != 0));
  fuzz::Check(url == (gray ? WideFromUtf8(link) : WString()));
  return 0;
}
