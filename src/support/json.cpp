#include "support/json.h"

namespace {

const rapidjson::Value* Member(const rapidjson::Value& obj, const char* name) {
  if (!obj.IsObject() || !name) return nullptr;
  auto it = obj.FindMember(name);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

}  // namespace

bool GetJsonInt(const rapidjson::Value& obj, const char* name, int32_t& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsInt()) return false;
  out = v->GetInt();
  return true;
}

bool GetJsonUint(const rapidjson::Value& obj, const char* name, uint32_t& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsUint()) return false;
  out = v->GetUint();
  return true;
}

bool GetJsonInt64(const rapidjson::Value& obj, const char* name, int64_t& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsInt64()) return false;
  out = v->GetInt64();
  return true;
}

bool GetJsonUint64(const rapidjson::Value& obj, const char* name, uint64_t& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsUint64()) return false;
  out = v->GetUint64();
  return true;
}

bool GetJsonDouble(const rapidjson::Value& obj, const char* name, double& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsDouble()) return false;
  out = v->GetDouble();
  return true;
}

bool GetJsonBool(const rapidjson::Value& obj, const char* name, bool& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsBool()) return false;
  out = v->GetBool();
  return true;
}

bool GetJsonString(const rapidjson::Value& obj, const char* name, WString& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsString()) return false;
  out = WideFromUtf8(std::string(v->GetString(), v->GetStringLength()));
  return true;
}

bool GetJsonStringA(const rapidjson::Value& obj, const char* name, std::string& out) {
  const rapidjson::Value* v = Member(obj, name);
  if (!v || !v->IsString()) return false;
  out = GbkFromUtf8(std::string(v->GetString(), v->GetStringLength()));
  return true;
}
