// Declared product calls whose bodies follow.
#include "core.h"
#include "kxproduct/entity.h"
#include "kxproduct/query.h"

using namespace kxp;

namespace {
[[noreturn]] void pending(const char* op) { throw_kx(KX_MSG_BAD_VALUE, L"Not implemented yet.", op); }
}  // namespace

const wchar_t* const kHistoryActionTimestamp = L"action_timestamp";
const wchar_t* const kHistoryEntityDbId = L"entity_dbid";
const wchar_t* const kHistoryEntityDefDbId = L"entitydef_id";
const wchar_t* const kHistoryActionName = L"action_name";
const wchar_t* const kHistoryUserName = L"user_name";

CString AdActionDef::GetActionTypeName() const { pending("AdActionDef::GetActionTypeName"); }
CString AdActionDef::ActionTypeToName(int) { pending("AdActionDef::ActionTypeToName"); }
AdFormDef* AdActionDef::GetFormDef() const { pending("AdActionDef::GetFormDef"); }
int AdHookDef::GetScriptLanguage() const { pending("AdHookDef::GetScriptLanguage"); }
AdIterator<AdEntityDef> AdEntityDef::GetParentFamilies() const { pending("AdEntityDef::GetParentFamilies"); }
AdFormDef* AdEntityDef::GetDefaultFormDef() const { pending("AdEntityDef::GetDefaultFormDef"); }
BOOL AdEntityDef::CanBeSecurityContext() const { pending("AdEntityDef::CanBeSecurityContext"); }
AdEntityDef* GetHistoryEntityDef(const AdSessionPtr&) { pending("GetHistoryEntityDef"); }

AdEntityPtr AdEntity::GetOriginal() const { pending("AdEntity::GetOriginal"); }
CString AdEntity::GetOriginalId() const { pending("AdEntity::GetOriginalId"); }
std::vector<AdDuplicateLink> AdEntity::GetDuplicates() const { pending("AdEntity::GetDuplicates"); }
std::vector<AdDuplicateLink> AdEntity::GetAllDuplicates() const { pending("AdEntity::GetAllDuplicates"); }
BOOL AdEntity::HasDuplicates() const { pending("AdEntity::HasDuplicates"); }
BOOL AdEntity::IsOriginal() const { pending("AdEntity::IsOriginal"); }
CString AdEntity::GetDefaultActionName() const { pending("AdEntity::GetDefaultActionName"); }
std::vector<CString> AdEntity::GetFieldNames() const { pending("AdEntity::GetFieldNames"); }
std::vector<CString> AdEntity::GetFieldValuesUpdatedThisEntireAction() const { pending("AdEntity::GetFieldValuesUpdatedThisEntireAction"); }
std::vector<CString> AdEntity::GetFieldValuesUpdatedThisGroup() const { pending("AdEntity::GetFieldValuesUpdatedThisGroup"); }
std::vector<CString> AdEntity::GetFieldValuesUpdatedThisSetValue() const { pending("AdEntity::GetFieldValuesUpdatedThisSetValue"); }
void AdEntity::BeginNewFieldUpdateGroup() { pending("AdEntity::BeginNewFieldUpdateGroup"); }
AdFieldInfo AdEntity::GetFieldOriginalValue(const CString&) const { pending("AdEntity::GetFieldOriginalValue"); }
CString AdEntity::AddFieldValue(const CString&, const CString&) { pending("AdEntity::AddFieldValue"); }
CString AdEntity::DeleteFieldValue(const CString&, const CString&) { pending("AdEntity::DeleteFieldValue"); }
std::vector<int64_t> AdEntity::GetFieldReferencedDbIds(const CString&) const { pending("AdEntity::GetFieldReferencedDbIds"); }
CString AdEntity::GetViewFormName() const { pending("AdEntity::GetViewFormName"); }
CString AdEntity::GetViewTabName() const { pending("AdEntity::GetViewTabName"); }
void AdEntity::SetViewFormAndTab(const CString&, const CString&) { pending("AdEntity::SetViewFormAndTab"); }
std::vector<CString> AdEntity::GetHiddenFormNames() const { pending("AdEntity::GetHiddenFormNames"); }
std::vector<CString> AdEntity::GetHiddenTabNames(const CString&) const { pending("AdEntity::GetHiddenTabNames"); }
std::vector<CString> AdEntity::GetHiddenFieldNames(const CString&) const { pending("AdEntity::GetHiddenFieldNames"); }
void AdEntity::SetFormHidden(const CString&, BOOL) { pending("AdEntity::SetFormHidden"); }
void AdEntity::SetTabHidden(const CString&, const CString&, BOOL) { pending("AdEntity::SetTabHidden"); }
void AdEntity::SetFieldHidden(const CString&, const CString&, BOOL) { pending("AdEntity::SetFieldHidden"); }
BOOL AdEntity::SiteHasMastership() const { pending("AdEntity::SiteHasMastership"); }
std::vector<AdActionDef*> GetLegalActionDefs(const AdSessionPtr&, const AdEntityPtr&) { pending("GetLegalActionDefs"); }
std::vector<CString> GetLegalAccessibleActionDefNames(const AdSessionPtr&, const AdEntityPtr&) { pending("GetLegalAccessibleActionDefNames"); }

AdReplica* AdSession::GetSessionMasterReplica() { pending("AdSession::GetSessionMasterReplica"); }
int AdSession::GetSessionUserSiteExtension() const { pending("AdSession::GetSessionUserSiteExtension"); }
BOOL AdSession::CanSubmit(AdEntityDef*) const { pending("AdSession::CanSubmit"); }
std::vector<AdEntityDef*> AdSession::GetEntityDefsEnabledForPackage(const CString&, const CString&) const { pending("AdSession::GetEntityDefsEnabledForPackage"); }
BOOL KXUser::HasUserPrivilege(int) const { pending("KXUser::HasUserPrivilege"); }
BOOL KXUser::IsUserSuperUser() const { pending("KXUser::IsUserSuperUser"); }

AdFilterNode* AdFilterNode::GetChild(int) const { pending("AdFilterNode::GetChild"); }
AdQueryFieldDef* AdQueryDef::BuildField(const CString&) { pending("AdQueryDef::BuildField"); }
AdQueryFieldDef* AdQueryDef::GetQueryFieldDef(int) const { pending("AdQueryDef::GetQueryFieldDef"); }
BOOL AdQueryDef::IsFieldPathLegalForQuery(const CString&) const { pending("AdQueryDef::IsFieldPathLegalForQuery"); }
BOOL AdQueryDef::IsFieldPathLegalForFilter(const CString&) const { pending("AdQueryDef::IsFieldPathLegalForFilter"); }
AdFilterNode* AdQueryDef::BuildFilter(AdFilterNode*, int, int) { pending("AdQueryDef::BuildFilter"); }
AdFieldFilter* AdQueryDef::BuildFilter(AdFilterNode*, const CString&, int, const std::vector<CString>&, int) { pending("AdQueryDef::BuildFilter"); }
AdResultSet::AdResultSet(const AdSessionPtr& session, const AdQueryDefPtr& query) : session_(session), query_(query) {}
AdResultSet::~AdResultSet() = default;
void AdResultSet::Execute() { pending("AdResultSet::Execute"); }
int AdResultSet::MoveNext() { pending("AdResultSet::MoveNext"); }
int AdResultSet::GetNumberOfColumns() const { pending("AdResultSet::GetNumberOfColumns"); }
CString AdResultSet::GetColumnLabel(int) const { pending("AdResultSet::GetColumnLabel"); }
int AdResultSet::GetColumnType(int) const { pending("AdResultSet::GetColumnType"); }
BOOL AdResultSet::GetColumnValue(int, CString&) const { pending("AdResultSet::GetColumnValue"); }
AdResultSetPtr BuildResultSet(const AdSessionPtr&, const AdQueryDefPtr&) { pending("BuildResultSet"); }

namespace kxp {
struct CompiledQuery {};
}  // namespace kxp
