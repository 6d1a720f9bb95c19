#include <ombrel/res/dialogs.h>

#include <iterator>

namespace ombrel::res {
namespace {

// The about box, template 100, in its tab order.
const DialogControl kAbout[] = {
    {DialogControl::Icon, -1, 14, 54, 20, 20, nullptr, 128, false, false},
    {DialogControl::Text, -1, 44, 45, 136, 40, "\nOmbrel\n\n版权所有 (C) 2026 Ombrel 开发组", 0,
     true, false},
    {DialogControl::Button, 1, 128, 156, 50, 18, "确定", 0, false, true},
    {DialogControl::Separator, -1, 7, 147, 171, 1, nullptr, 0, false, false},
    {DialogControl::Text, -1, 6, 89, 174, 51,
     "程序开发:\n    Ombrel 开发组\n产品设计:\n    Ombrel 产品组\n网站:\n    "
     "https://ombrel.example.org/",
     0, false, false},
    {DialogControl::Bitmap, -1, 0, 0, 187, 39, nullptr, 137, false, false},
};

const DialogTemplate kTemplates[] = {
    {100, 187, 179, "关于我们...", "宋体", 9, kAbout, std::size(kAbout)},
    // The detail pane's form: an empty child form.
    {130, 302, 65, "", "宋体", 9, nullptr, 0},
};

} // namespace

const DialogTemplate* FindDialog(unsigned id) {
    for (const DialogTemplate& dialog : kTemplates)
        if (dialog.id == id)
            return &dialog;
    return nullptr;
}

} // namespace ombrel::res
