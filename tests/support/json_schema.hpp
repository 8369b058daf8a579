#pragma once
// A validator of the JSON Schema subset our schema files use: type (one or a
// list), enum, required, properties, items, minItems, maxItems, minimum,
// maximum and "$ref": "#/$defs/NAME". A keyword outside the subset is itself
// reported, so that a schema never asks for a check that is not made.
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace tarn::test {

class JsonSchemaCheck {
 public:
  explicit JsonSchemaCheck(nlohmann::json schema) : root_(std::move(schema)) {}

  // Every violation as "path: what"; empty when doc is valid.
  std::vector<std::string> Errors(const nlohmann::json& doc) {
    errors_.clear();
    Check(root_, doc, "$");
    return errors_;
  }

 private:
  using json = nlohmann::json;

  static bool IsType(const json& v, const std::string& t) {
    if (t == "object") return v.is_object();
    if (t == "array") return v.is_array();
    if (t == "string") return v.is_string();
    if (t == "integer") return v.is_number_integer();
    if (t == "number") return v.is_number();
    if (t == "boolean") return v.is_boolean();
    if (t == "null") return v.is_null();
    return false;
  }

  void Fail(const std::string& at, const std::string& what) { errors_.push_back(at + ": " + what); }

  void Check(const json& s, const json& v, const std::string& at) {
    static const std::set<std::string> known = {
        "$schema", "title",    "description", "$defs",    "$ref",     "type",   "enum",
        "required", "properties", "items",    "minItems", "maxItems", "minimum", "maximum"};
    for (const auto& [k, x] : s.items())
      if (!known.count(k)) Fail(at, "schema keyword \"" + k + "\" is not checked");
    if (s.contains("$ref")) {
      const std::string ref = s["$ref"];
      const std::string prefix = "#/$defs/";
      if (ref.rfind(prefix, 0) != 0 || !root_["$defs"].contains(ref.substr(prefix.size())))
        return Fail(at, "unknown $ref " + ref);
      Check(root_["$defs"][ref.substr(prefix.size())], v, at);
    }
    if (s.contains("type")) {
      bool ok = false;
      if (s["type"].is_array()) {
        for (const auto& t : s["type"]) ok = ok || IsType(v, t);
      } else {
        ok = IsType(v, s["type"]);
      }
      if (!ok) return Fail(at, "is not of type " + s["type"].dump());
    }
    if (s.contains("enum")) {
      bool ok = false;
      for (const auto& e : s["enum"]) ok = ok || e == v;
      if (!ok) Fail(at, "is not one of " + s["enum"].dump());
    }
    if (v.is_number()) {
      if (s.contains("minimum") && v.get<double>() < s["minimum"].get<double>())
        Fail(at, "is below the minimum");
      if (s.contains("maximum") && v.get<double>() > s["maximum"].get<double>())
        Fail(at, "is above the maximum");
    }
    if (v.is_object()) {
      if (s.contains("required"))
        for (const auto& r : s["required"])
          if (!v.contains(r.get<std::string>())) Fail(at, "misses " + r.get<std::string>());
      if (s.contains("properties"))
        for (const auto& [k, ps] : s["properties"].items())
          if (v.contains(k)) Check(ps, v[k], at + "." + k);
    }
    if (v.is_array()) {
      if (s.contains("minItems") && v.size() < s["minItems"].get<size_t>()) Fail(at, "too short");
      if (s.contains("maxItems") && v.size() > s["maxItems"].get<size_t>()) Fail(at, "too long");
      if (s.contains("items"))
        for (size_t i = 0; i < v.size(); ++i)
          Check(s["items"], v[i], at + "[" + std::to_string(i) + "]");
    }
  }

  json root_;
  std::vector<std::string> errors_;
};

}  // namespace tarn::test
