// A fetch sink that records each reported value as a short text, for tests of property objects.
#pragma once

#include <string>
#include <vector>

#include "kxwin/cstring.h"
#include "props/resource.h"
#include "tesutil/oid.h"
#include "wexxml/xmldoc.h"

namespace kxtest {

// Texts: "str:..", "int:..", "bool:0|1", "enum:..", "empty:..", "name:..", "type:..",
// "time:..", "int64:..", "xml:..", "res<code>:<seg1>,<seg2>,<fol>,<att>", "unsupported",
// "unavailable", "error:<reason>", "[" and "]" for a list's ends.
class RecordingSink : public KxRpc::FetchPropResponses {
public:
    virtual ~RecordingSink() = default;
    std::vector<std::string> values;

    // The values that one fetch of `id` reported, joined by spaces; failures as "error:<reason>".
    std::string fetch(KxRpc::PropsResource &resource, int id) {
        values.clear();
        try {
            perform_fetch_prop(resource, id);
        } catch (Nul::STPException const &e) {
            values.push_back("error:" + std::to_string(static_cast<int>(e.stp_reason_code())));
            last_error = e.msg().utf8_str().std_str();
        }
        std::string joined;
        for (auto const &v : values) joined += (joined.empty() ? "" : " ") + v;
        return joined;
    }
    std::string last_error;

    void record_empty(int type) override { add("empty:" + std::to_string(type)); }
    void start_list_property_values(int type) override { add("[" + std::to_string(type)); }
    void end_list_property_values() override { add("]"); }
    void unavailable_property() override { add("unavailable"); }
    void unsupported_property() override { add("unsupported"); }
    void record_ustring(Nul::UString const &v) override { add("str:" + v.utf8_str().std_str()); }
    void record_enum(int v) override { add("enum:" + std::to_string(v)); }
    void record_property_name(Nul::UString const &v) override { add("name:" + v.utf8_str().std_str()); }
    void record_property_name(int v) override { add("name:" + std::to_string(v)); }
    void record_oid(Nul::Oid const &v) override { add("oid:" + v.dense_std_str()); }
    void record_int(int v) override { add("int:" + std::to_string(v)); }
    void record_bool(bool v) override { add(std::string("bool:") + (v ? "1" : "0")); }
    void record_time_value(Nul::UString const &v) override { add("time:" + v.utf8_str().std_str()); }
    void record_time_value(std::int64_t v) override { add("time:" + std::to_string(v)); }
    void record_property_type(int v) override { add("type:" + std::to_string(v)); }
    void record_int64(std::int64_t v) override { add("int64:" + std::to_string(v)); }
    void record_xml(Nul::XmlDoc &doc) override { add("xml:" + doc.str().utf8_str().std_str()); }
    void record_cstring(CString const &v) override { add("str:" + v.ToUtf8()); }
    void record_resource_as_cstring(int type, CString const &v) override {
        add("res" + std::to_string(type) + ":" + v.ToUtf8());
    }
    bool property_error(Nul::STPException &e) override {
        add("error:" + std::to_string(static_cast<int>(e.stp_reason_code())));
        return true;
    }
    void record_query_obj_name(int type, Nul::UString const &name) override {
        add("qname" + std::to_string(type) + ":" + name.utf8_str().std_str());
    }
    void record_query_obj_binding(int btype, Nul::UString const &leaf, int type, int seg1) override {
        add("binding" + std::to_string(btype) + ":" + leaf.utf8_str().std_str() + ":" + std::to_string(type) + "," +
            std::to_string(seg1));
    }
    void record_resource(int type, int seg1, int seg2, int fol, int att) override {
        add("res" + std::to_string(type) + ":" + std::to_string(seg1) + "," + std::to_string(seg2) + "," +
            std::to_string(fol) + "," + std::to_string(att));
    }
    void record_record_name_selector(Nul::UString const &a, Nul::UString const &b, Nul::UString const &c,
                                     Nul::UString const &d) override {
        add("selector:" + a.utf8_str().std_str() + "/" + b.utf8_str().std_str() + "/" + c.utf8_str().std_str() + "/" +
            d.utf8_str().std_str());
    }
    void record_query_obj_name(int btype, Nul::UString const &leaf, int type, int seg1, int seg2, int fol,
                               int att) override {
        add("qname" + std::to_string(btype) + ":" + leaf.utf8_str().std_str() + ":" + std::to_string(type) + "," +
            std::to_string(seg1) + "," + std::to_string(seg2) + "," + std::to_string(fol) + "," + std::to_string(att));
    }
    void record_attachment_full_binding(int btype, Nul::UString const &leaf, KxRpc::FullAttachment const &a) override {
        add("attbinding" + std::to_string(btype) + ":" + leaf.utf8_str().std_str() + ":" +
            a.attachment_name.utf8_str().std_str());
    }
    void record_attachment_full(KxRpc::FullAttachment const &a) override {
        add("attachment:" + a.attachment_name.utf8_str().std_str());
    }
    void record_activity_selector(Nul::UString const &v) override { add("activity:" + v.utf8_str().std_str()); }
    void record_range(unsigned s, unsigned e) override { add("range:" + std::to_string(s) + "-" + std::to_string(e)); }

private:
    void add(std::string v) { values.push_back(std::move(v)); }
};

} // namespace kxtest
