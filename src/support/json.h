// Typed readers for members of a parsed JSON object. Each returns false
// and leaves the output untouched when obj is no object, the member is
// missing, or it is not of the required type.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <string>

#include "base/text.h"

bool GetJsonInt(const rapidjson::Value& obj, const char* name, int32_t& out);
bool GetJsonUint(const rapidjson::Value& obj, const char* name, uint32_t& out);
bool GetJsonInt64(const rapidjson::Value& obj, const char* name, int64_t& out);
bool GetJsonUint64(const rapidjson::Value& obj, const char* name, uint64_t& out);
// Only a number written as floating point ("5.0", not "5").
bool GetJsonDouble(const rapidjson::Value& obj, const char* name, double& out);
bool GetJsonBool(const rapidjson::Value& obj, const char* name, bool& out);
// UTF-8 member text as UTF-16 (WideFromUtf8).
bool GetJsonString(const rapidjson::Value& obj, const char* name, WString& out);
// UTF-8 member text as code page 936 (GbkFromUtf8).
bool GetJsonStringA(const rapidjson::Value& obj, const char* name, std::string& out);
