#include <ombrel/res/strings.h>

#include <ombrel/framework.h>

#include <iterator>

namespace ombrel::res {
namespace {

// Prompt strings of commands hold the fly-by prompt, a line break and the
// tooltip.
const platform::ResourceString table[] = {
    {128, "Ombrel\n\nBrio\n\n\nOmbrel.Document\nBrio Document"},
    {32771, "刷新\n刷新"},
    {32772, "访问Brio网站\n访问Brio网站"},
    {32773, "打开Windows XP SP2 防火墙设置\nSP2 防火墙设置"},
    {32774, "允许您管理当前运行的程序\nMorvik"},
    {57344, "Ombrel"},
    {57345, "就绪"},
    {57664, "显示程序信息，版本号和版权\n关于"},
    {57665, "退出应用程序；提示保存文档\n退出"},
    {57666, "TCP/UDP"},
    {57667, "本机IP:端口"},
    {57668, "远程IP:端口"},
    {57669, "状态"},
    {57670, "PID"},
    {57671, "进程"},
    {61459, "详细信息"},
    {61460, "文件 : %s"},
    {61461, "版本: %s"},
    {61462, "描述: %s"},
    {61463, "公司: %s"},
    {61464, "<文件不存在>"},
    {61465, "https://ombrel.example.org/"},
    {61466, "监听"},
    {61467, "连接"},
    {61468, "同步发送"},
    {61469, "同步接收"},
    {61470, "本软件只支持在Windows XP以上版本上运行。"},
    {61471, "管理员"},
    {61472, "管理员模式不可用"},
    {61473, "所有用户的进程与程序路径由收集程序 ombrel-collector 提供"},
    {61474, "找不到收集程序 ombrel-collector 或 pkexec：只显示本用户能看到的所有者"},
    {61475, "未获授权：只显示本用户能看到的所有者"},
    {61476, "收集程序已退出：只显示本用户能看到的所有者"},
    {61477, "收集程序的回答无效：只显示本用户能看到的所有者"},
    {61478, "收集程序没有回应：只显示本用户能看到的所有者"},
    {61479, "收集程序这次未能读全所有者：只显示本用户能看到的所有者"},
    {61480, "正在请求管理员权限"},
    {61481, "单击此处可再次请求管理员权限"},
};

} // namespace

void RegisterStrings() {
    platform::RegisterStringTable(table, std::size(table));
}

} // namespace ombrel::res
