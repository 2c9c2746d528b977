#include "dialogue/sa_reply.h"

#include "libs/cfg/cfg.h"
#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"
#include "platform/globals.h"

namespace {

// What the AP is told to do next.
enum ReplyCode : int {
    CODE_CREDENTIALS = 1,
    CODE_UPGRADE = 4025,
    CODE_UNAVAILABLE = 4026,
    CODE_ALLOW = 4027,
    CODE_AUTH_REQUIRED = 4028,
};

}  // namespace

void SaReply::__build(const std::function<void(lcw_data_t*)>& fill) {
    // An old answer must never be sent for a new decision, even if this fails.
    text.reset();
    CfgTree tree{cfg_get_empty()};
    if (!tree) {
        return;
    }
    fill(tree.get());
    cfg_set_param(tree.get(), "dor-version", kDorVersion);
    if (const char* serialized = cfg_serialize_compact(tree.get())) {
        text = std::make_shared<std::string>(serialized);
    }
}

void SaReply::build_allow() {
    __build([](lcw_data_t* tree) { cfg_set_int_param(tree, "code", CODE_ALLOW); });
}

void SaReply::build_auth_required() {
    __build([](lcw_data_t* tree) { cfg_set_int_param(tree, "code", CODE_AUTH_REQUIRED); });
}

void SaReply::build_unavailable(std::string_view description) {
    __build([description = std::string(description)](lcw_data_t* tree) {
        cfg_set_int_param(tree, "code", CODE_UNAVAILABLE);
        if (!description.empty()) {
            cfg_set_param(tree, "error-description", description.c_str());
        }
    });
}

void SaReply::build_upgrade(bool check_crt, const std::string& fw_file) {
    __build([check_crt, fw_file](lcw_data_t* tree) {
        cfg_set_int_param(tree, "code", CODE_UPGRADE);
        cfg_set_param(tree, "msg", fw_file.c_str());
        cfg_set_boolean_param(tree, "fw-check-crt", check_crt);
        const char* so_far = cfg_serialize_compact(tree);
        sa_trace.ap("SA reply: %s", so_far ? so_far : "");
    });
}

void SaReply::build_credentials(const std::string& password) {
    __build([password](lcw_data_t* tree) {
        lcw_data_t* system = cfg_insert_empty_subtree_or_exists(tree, "system");
        if (!system) {
            return;
        }
        cfg_set_int_param(tree, "code", CODE_CREDENTIALS);
        cfg_set_param(system, "password", password.c_str());
    });
}

std::string noted_reply_text() {
    return std::string(R"({"noted":true, "dor-version":")") + kDorVersion + R"("})";
}

std::string error_reply_text(std::string_view description) {
    std::string text = R"({"error-description": ")";
    text += description;
    text += R"(", "dor-version":")";
    text += kDorVersion;
    text += R"("})";
    return text;
}
