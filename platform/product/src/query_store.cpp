// The stored form of a query definition (a workspace item's data): "kxquery 1" and then one line
// per piece, fields separated by tabs, with tab, line end and backslash escaped as \t, \n, \\.
// Items stored by older builds hold "key=value;..." text, which still opens.
#include <string>
#include <vector>

#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "query_internal.h"

using namespace kxp;

namespace {

const wchar_t *const kMagic = L"kxquery 1";

CString escape(const CString &s) {
    CString out;
    for (int i = 0; i < s.GetLength(); ++i) {
        wchar_t ch = s[i];
        if (ch == L'\\')
            out += L"\\\\";
        else if (ch == L'\t')
            out += L"\\t";
        else if (ch == L'\n')
            out += L"\\n";
        else if (ch == L'\r')
            out += L"\\r";
        else
            out += ch;
    }
    return out;
}

struct BadDefinition {
    CString text;
};

CString unescape(const CString &s) {
    CString out;
    for (int i = 0; i < s.GetLength(); ++i) {
        wchar_t ch = s[i];
        if (ch != L'\\') {
            out += ch;
            continue;
        }
        if (++i >= s.GetLength()) throw BadDefinition{L"a line ends in a lone backslash"};
        switch (s[i]) {
        case L'\\':
            out += L'\\';
            break;
        case L't':
            out += L'\t';
            break;
        case L'n':
            out += L'\n';
            break;
        case L'r':
            out += L'\r';
            break;
        default:
            throw BadDefinition{L"unknown escape"};
        }
    }
    return out;
}

std::vector<CString> split(const CString &s, wchar_t sep) {
    std::vector<CString> out;
    int pos = 0;
    while (true) {
        int at = s.Find(sep, pos);
        if (at < 0) {
            out.push_back(s.Mid(pos));
            return out;
        }
        out.push_back(s.Mid(pos, at - pos));
        pos = at + 1;
    }
}

int number(const CString &s) {
    if (s.IsEmpty() || s.GetLength() > 9) throw BadDefinition{L"'" + s + L"' is no number"};
    int n = 0;
    for (int i = 0; i < s.GetLength(); ++i) {
        if (s[i] < L'0' || s[i] > L'9') throw BadDefinition{L"'" + s + L"' is no number"};
        n = n * 10 + (s[i] - L'0');
    }
    return n;
}

CString num(long long n) {
    CString t;
    t.Format(L"%lld", n);
    return t;
}

void write_node(CString &out, AdFilterNode *n) {
    if (AdFieldFilter *ff = n->AsFieldFilter()) {
        if (ff->IsReferenceListFilter()) {
            out += L"reflist\t" + num(n->GetDepth()) + L"\t" + num(ff->GetReferenceListRecordDbId()) + L"\t" +
                   escape(ff->GetReferenceListFieldName()) + L"\n";
            return;
        }
        out += L"filter\t" + num(n->GetDepth()) + L"\t" + num(ff->GetCompOp()) + L"\t" + escape(ff->GetFieldPath()) +
               L"\t" + escape(ff->GetPrompt());
        for (int i = 1; i <= ff->GetNumberOfValues(); ++i)
            out += ff->IsVariable(i) ? L"\t$" + num(ff->GetVariable(i)) : L"\t=" + escape(ff->GetValue(i));
        out += L"\n";
        return;
    }
    out += L"node\t" + num(n->GetDepth()) + L"\t" + num(n->GetBoolOp()) + L"\n";
    for (int i = 0; i < n->NumChildren(); ++i) write_node(out, n->GetChild(i));
}

// Older builds: "columns=a,b;filter=Field=Value;order=Field;group=Field;family=Name;...".
void read_legacy(AdQueryDef &q, const CString &text) {
    for (const CString &part : split(text, L';')) {
        int eq = part.Find(L'=');
        if (eq <= 0) continue;
        CString key = part.Left(eq), value = part.Mid(eq + 1);
        if (key == L"columns") {
            for (const CString &f : split(value, L',')) q.BuildField(f);
        } else if (key == L"filter") {
            int at = value.Find(L'=');
            if (at <= 0) throw BadDefinition{L"the filter '" + value + L"' is no field=value"};
            q.BuildFilter(nullptr, value.Left(at), AD_COMP_OP_EQ, {value.Mid(at + 1)}, 1);
        } else if (key == L"order" || key == L"group") {
            AdQueryFieldDef *f = nullptr;
            for (int i = 1; i <= q.GetNumberOfFields() && !f; ++i)
                if (q.GetQueryFieldDef(i)->GetFieldPath() == value) f = q.GetQueryFieldDef(i);
            if (!f) throw BadDefinition{L"'" + value + L"' is no column"};
            if (key == L"order") {
                f->SetSortType(AD_SORT_ASCENDING);
                f->SetSortOrder(1);
            } else {
                f->SetGroupBy(TRUE);
            }
        }
        // Other keys (chart options, report layout) carry nothing the engine runs.
    }
}

} // namespace

CString AdQueryDef::GetDefinition() const {
    CString out = kMagic;
    out += L"\nprimary\t" + escape(primary_->GetName()) + L"\n";
    if (!sql_.IsEmpty()) out += L"sql\t" + escape(sql_) + L"\n";
    if (privileged_) out += L"privileged\t1\n";
    for (const auto &f : fields_)
        out += L"field\t" + escape(f->GetFieldPath()) + L"\t" + escape(f->GetLabel()) + L"\t" + num(f->GetIsShown()) +
               L"\t" + num(f->GetSortType()) + L"\t" + num(f->GetSortOrder()) + L"\t" + num(f->IsGroupBy()) + L"\t" +
               num(f->GetAggregate()) + L"\t" + num(f->GetFunction()) + L"\n";
    if (top_) write_node(out, top_.get());
    return out;
}

void AdQueryDef::SetDefinition(const CString &text) {
    KXFaultInjector::Enter("AdQueryDef::SetDefinition");
    // Read into a fresh definition and take it over only when the whole text was good.
    AdQueryDefPtr fresh(new AdQueryDef(session_, primary_));
    int line_no = 0;
    try {
        std::vector<CString> lines = split(text, L'\n');
        if (lines.empty() || lines[0] != kMagic) {
            for (const CString &part : split(text, L';'))
                if (part.Left(7) == L"family=") {
                    AdEntityDef *family = LookupEntityDefOrFamily(session_, part.Mid(7));
                    if (!family) throw BadDefinition{L"family '" + part.Mid(7) + L"' is gone"};
                    fresh->primary_ = family;
                }
            read_legacy(*fresh, text);
        } else {
            std::vector<AdFilterNode *> open; // the last node at each depth
            for (size_t i = 1; i < lines.size(); ++i) {
                line_no = static_cast<int>(i) + 1;
                if (lines[i].IsEmpty()) continue;
                std::vector<CString> f = split(lines[i], L'\t');
                for (auto &part : f) part = unescape(part);
                const CString &kind = f[0];
                auto need = [&](size_t n) {
                    if (f.size() < n) throw BadDefinition{L"a " + kind + L" line is short"};
                };
                if (kind == L"primary") {
                    need(2);
                    AdEntityDef *def = f[1] == primary_->GetName() ? primary_ : LookupEntityDefOrFamily(session_, f[1]);
                    if (!def) throw BadDefinition{L"record type '" + f[1] + L"' is gone"};
                    fresh->primary_ = def;
                } else if (kind == L"sql") {
                    need(2);
                    fresh->sql_ = f[1];
                } else if (kind == L"privileged") {
                    fresh->privileged_ = true;
                } else if (kind == L"field") {
                    need(9);
                    AdQueryFieldDef *qf = fresh->BuildField(f[1]);
                    qf->SetLabel(f[2]);
                    qf->SetIsShown(number(f[3]));
                    qf->SetSortType(number(f[4]));
                    qf->SetSortOrder(number(f[5]));
                    qf->SetGroupBy(number(f[6]));
                    qf->SetAggregate(number(f[7]));
                    qf->SetFunction(number(f[8]));
                } else if (kind == L"node" || kind == L"filter" || kind == L"reflist") {
                    need(kind == L"filter" ? 5 : 3);
                    size_t depth = static_cast<size_t>(number(f[1]));
                    if (depth < 1 || depth > open.size() + 1 || (depth > 1 && open[depth - 2]->AsFieldFilter()))
                        throw BadDefinition{L"a filter line is out of place"};
                    AdFilterNode *parent = depth > 1 ? open[depth - 2] : nullptr;
                    AdFilterNode *made;
                    if (kind == L"node") {
                        made = fresh->BuildFilter(parent, number(f[2]), depth == 1);
                    } else if (kind == L"reflist") {
                        need(4);
                        AdFieldFilter *ff = fresh->BuildFilter(parent, L"dbid", AD_COMP_OP_IN, {}, depth == 1);
                        ff->reflist_record_ = number(f[2]);
                        ff->reflist_field_ = f[3];
                        made = ff;
                    } else {
                        AdFieldFilter *ff = fresh->BuildFilter(parent, f[3], number(f[2]), {}, depth == 1);
                        ff->SetPrompt(f[4]);
                        for (size_t k = 5; k < f.size(); ++k) {
                            if (f[k].Left(1) == L"=")
                                ff->AddValue(f[k].Mid(1));
                            else if (f[k].Left(1) == L"$")
                                ff->AddVariable(number(f[k].Mid(1)));
                            else
                                throw BadDefinition{L"an operand is neither =value nor $variable"};
                        }
                        made = ff;
                    }
                    open.resize(depth - 1);
                    open.push_back(made);
                } else {
                    throw BadDefinition{L"unknown line '" + kind + L"'"};
                }
            }
        }
    } catch (const BadDefinition &e) {
        throw_kx(KX_MSG_BAD_VALUE,
                 L"The stored query is damaged" + (line_no ? L" at line " + num(line_no) : CString()) + L": " + e.text +
                     L".",
                 "AdQueryDef::SetDefinition");
    } catch (KXException *e) {
        CString t = e->GetErrorString();
        e->Delete();
        throw_kx(KX_MSG_BAD_VALUE, L"The stored query cannot be read: " + t, "AdQueryDef::SetDefinition");
    } catch (PaMsgException *e) {
        CString t = e->First() ? e->First()->GetMsg() : CString();
        e->Delete();
        throw_kx(KX_MSG_BAD_VALUE, L"The stored query cannot be read: " + t, "AdQueryDef::SetDefinition");
    }
    primary_ = fresh->primary_;
    fields_.swap(fresh->fields_);
    top_ = fresh->top_;
    sql_ = fresh->sql_;
    privileged_ = fresh->privileged_;
}

AdQueryDefPtr GetQueryDef(const AdSessionPtr &session, const AdBucketPtr &bucket) {
    KXFaultInjector::Enter("GetQueryDef");
    live(session, "GetQueryDef");
    if (!bucket || !(bucket->GetType() & (AD_BUCKET_QUERY | AD_BUCKET_CHART)))
        throw new PaMsgException(KX_MSG_NOT_FOUND, L"The workspace item holds no query definition.");
    AdEntityDef *def = LookupEntityDefOrFamily(session, bucket->GetEntityDefName());
    if (!def)
        throw new PaMsgException(KX_MSG_NOT_FOUND,
                                 L"The query's record type '" + bucket->GetEntityDefName() + L"' is gone.");
    AdQueryDefPtr q(new AdQueryDef(session, def));
    q->SetDefinition(bucket->GetData());
    return q;
}

AdQueryDefPtr GetQueryOrChartByDbId(const AdSessionPtr &session, int64_t dbid, int) {
    KXFaultInjector::Enter("GetQueryOrChartByDbId");
    live(session, "GetQueryOrChartByDbId");
    AdBucketPtr bucket = GetWorkspaceMgr(session)->GetBucket(dbid);
    if (!bucket || !(bucket->GetType() & (AD_BUCKET_QUERY | AD_BUCKET_CHART)))
        throw new PaMsgException(KX_MSG_NOT_FOUND, L"No query or chart has the dbid " + num(dbid) + L".");
    return GetQueryDef(session, bucket);
}
