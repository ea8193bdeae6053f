// The procedures of changes: change batches, attachments, validation, hooks, new and temporary
// resources, and administration.
#include <span>

#include "change/admin.h"
#include "change/admin_handlers.h"
#include "change/attachment_requests.h"
#include "change/content.h"
#include "change/create_temp.h"
#include "change/deliver.h"
#include "change/deliverops.h"
#include "change/hooks.h"
#include "change/mkresource.h"
#include "change/new_resources.h"
#include "change/requests.h"
#include "change/resolve_type.h"
#include "change/validation_handlers.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> change_procedures() {
    // validate_action, validate_record_props, resolve_attachment and revert_record share the empty reply.
    static ProcedureRow const rows[] = {
        served<ResolveTypeArg>(6, L"resolve_type", xdr_routine(xdr_result_of<ResolveTypeResp>), kxrpc_resolve_type),
        served<CreateResourceArgs>(8, L"mkresource", xdr_routine(xdr_result_of<CreateResourceResp>), kxrpc_mkresource),
        served<CreateTempArgs>(9, L"create_temp", xdr_routine(xdr_result_of<CreateTempResp>), kxrpc_create_temp),
        served<DeliverChangeContextArgs>(10, L"deliver_change_context",
                                         xdr_routine(xdr_result_of<DeliverChangeContextResp>),
                                         kxrpc_deliver_change_context),
        served<ValidateActionArgs>(11, L"validate_action", xdr_routine(xdr_result_of<XdrVoid>), kxrpc_validate_action),
        served<ValidateRecordPropsArgs>(12, L"validate_record_props", xdr_routine(xdr_result_of<XdrVoid>),
                                        kxrpc_validate_record_props),
        served<GetArgs>(13, L"get_attachment", xdr_routine(xdr_unframed_result_of<GetResp>), kxrpc_get),
        served<MakeAttachmentArgs>(14, L"make_attachment", xdr_routine(xdr_result_of<MakeAttachmentResp>),
                                   kxrpc_make_attachment),
        served<ResolveAttachmentArgs>(15, L"resolve_attachment", xdr_routine(xdr_result_of<XdrVoid>),
                                      kxrpc_resolve_attachment),
        served<FireHookArgs>(16, L"fire_hook", xdr_routine(xdr_result_of<FireHookResp>), kxrpc_fire_hook),
        served<FireScriptAliasArgs>(17, L"fire_script_alias", xdr_routine(xdr_result_of<FireScriptAliasResp>),
                                    kxrpc_fire_script_alias),
        served<UpgradeDatabasesArgs>(26, L"upgrade_databases", xdr_routine(xdr_result_of<UpgradeDatabasesResp>),
                                     kxrpc_upgrade_databases),
        served<RevertRecordArgs>(29, L"revert_record", xdr_routine(xdr_result_of<XdrVoid>), kxrpc_revert_record),
        served<CreateUserArgs>(30, L"create_user", xdr_routine(xdr_result_of<CreateUserResp>), kxrpc_create_user),
        served<GetArgs>(31, L"get_attachment_direct", xdr_routine(xdr_unframed_result_of<GetDirectResp>),
                        kxrpc_get_direct),
        served<MakeAttachmentDirectArgs>(32, L"make_attachment_direct", xdr_routine(xdr_result_of<MakeAttachmentResp>),
                                         kxrpc_make_attachment_direct),
        served<MasterPropertyArgs>(34, L"kxrpc_kx_masterproperty", xdr_routine(xdr_result_of<MasterPropertyResp>),
                                   kxrpc_kx_masterproperty),
    };
    return rows;
}

} // namespace KxRpc
