#!/usr/bin/env python3
"""Writes support/misc/lang.ini: the texts of the station's three languages.

Sections "English" (the English defaults, taken from src/console/ui_strings.cpp),
"Chinese (Taiwan)" in Big5 (code page 950) and "Chinese (PRC)" in GBK (code
page 936); every one of the 66 keys of the language build in each section,
CR LF line ends. The Chinese texts are our own.
"""
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")

# key: (Traditional Chinese, Simplified Chinese)
CHINESE = {
    "TitleStr": ("MP3 量產工具", "MP3 量产工具"),
    "PageStr": ("量產", "量产"),
    "DeviceStr": ("裝置", "设备"),
    "LabelStr": ("磁碟標籤", "磁盘卷标"),
    "SysPreCopyStr": ("系統檔案與預先複製檔案:", "系统文件与预拷贝文件:"),
    "FormatStr": ("格式化", "格式化"),
    "AddFileStr": ("加入檔案", "添加文件"),
    "RemoveStr": ("移除", "移除"),
    "LogStr": ("記錄", "记录"),
    "SelectFileStr": ("選擇檔案", "选择文件"),
    "StatusMsg": ("狀態", "状态"),
    "SuccessMsg": ("成功", "成功"),
    "FailMsg": ("失敗", "失败"),
    "ExceedLimitMsg": ("超過裝置數量上限!", "超过设备数量上限!"),
    "BadBlockStr": ("壞塊檢查", "坏块检查"),
    "TotalMsg": ("總數", "总数"),
    "WaitDeviceMsg": ("等待裝置...", "等待设备..."),
    "CopyFileMsg": ("複製檔案", "拷贝文件"),
    "ChkdskMsg": ("磁碟檢查", "磁盘检查"),
    "SettingMsg": ("設定", "设置"),
    "FILEWriteStr": ("檔案寫入", "文件写入"),
    "BlankingCheckStr": ("低格檢查", "低格检查"),
    "RealBlankingCheckStr": ("低格檢查", "低格检查"),
    "ProgramWriteStr": ("程式寫入", "程序写入"),
    "ProgramWriteEndStr": ("程式寫入結束", "程序写入结束"),
    "ProgramWriteSetupStr": ("程式寫入準備", "程序写入准备"),
    "PreferWriteStr": ("資料寫入", "数据写入"),
    "PreferWriteEndStr": ("資料寫入結束", "数据写入结束"),
    "PreferWriteSetupStr": ("資料寫入準備", "数据写入准备"),
    "ISOWriteStr": ("光碟映像寫入", "光盘镜像写入"),
    "ISOWriteEndStr": ("光碟映像寫入結束", "光盘镜像写入结束"),
    "ISOWriteSetupStr": ("光碟映像寫入準備", "光盘镜像写入准备"),
    "PassWriteStr": ("加密區寫入", "加密区写入"),
    "PassWriteEndStr": ("加密區寫入結束", "加密区写入结束"),
    "PassWriteSetupStr": ("加密區寫入準備", "加密区写入准备"),
    "StringReset": ("重置", "复位"),
    "FSMWrite": ("FSM 寫入", "FSM 写入"),
    "VirtualCDROMStr": ("虛擬光碟", "虚拟光驱"),
    "FlashBrandStr": ("快閃記憶體廠牌", "闪存品牌"),
    "FlashSerialStr": ("快閃記憶體型號", "闪存型号"),
    "FlashEraseStr": ("清除快閃記憶體", "擦除闪存"),
    "MenuUpgradeStr": ("手動升級模式", "手动升级模式"),
    "MenuUpgradeStartStr": ("開始升級", "开始升级"),
    "DevicePluginStr": ("裝置已插入", "设备已插入"),
    "BarFixedStr": ("進度固定", "进度固定"),
    "SystemAreaSizeStr": ("系統區大小", "系统区大小"),
    "SetLabelStr": ("設定磁碟標籤", "设置磁盘卷标"),
    "FlashCheckStr": ("快閃記憶體檢查", "闪存检查"),
    "FwParityCheckStr": ("韌體校驗", "固件校验"),
    "FwUpgradeStr": ("韌體升級", "固件升级"),
    "FixSystemAreaSizeStr": ("固定系統區大小", "固定系统区大小"),
    "FixUsbIOPortStr": ("固定USB埠", "固定USB口"),
    "UnresetMsg": ("未重置的裝置", "未复位的设备"),
    "HubPortExeccdStr": ("超過USB埠數量上限", "超过USB口数量上限"),
    "SDKBidErrorStr": ("SDK 綁定碼檢查失敗", "SDK 绑定码检查失败"),
    "ChipBidErrorStr": ("晶片綁定碼檢查失敗", "芯片绑定码检查失败"),
    "SDKBidNoMatchStr": ("SDK 綁定碼不符", "SDK 绑定码不匹配"),
    "ApplyStr": ("套用", "应用"),
    "CancelStr": ("取消", "取消"),
    "FactorSetStr": ("出廠設定", "出厂设置"),
    "ModuleNoStr": ("快閃記憶體模組編號", "闪存模块编号"),
    "AdvanceStr": ("進階", "高级"),
    "ProcessStatusStr": ("處理狀態", "处理状态"),
    "BadBlockWarningStr": ("請先做低格檢查", "请先做低格检查"),
    "ChangeDiskStr": ("切換到隱藏磁碟", "切换到隐藏磁盘"),
    "HiddenDiskStr": ("隱藏磁碟", "隐藏磁盘"),
}

# The language build's key order.
KEYS = list(CHINESE)


def english_defaults():
    text = open(os.path.join(ROOT, "src", "console", "ui_strings.cpp"), encoding="utf-8").read()
    return dict(re.findall(r'UiString \w+\("(\w+)", "((?:[^"\\]|\\.)*)"', text))


def main():
    english = english_defaults()
    assert len(KEYS) == 66, len(KEYS)
    out = bytearray()

    def section(name, texts, encoding):
        out.extend(("[" + name + "]\r\n").encode("ascii"))
        for key in KEYS:
            out.extend(key.encode("ascii") + b"=" + texts[key].encode(encoding) + b"\r\n")
        out.extend(b"\r\n")

    section("English", {k: english[k] for k in KEYS}, "ascii")
    section("Chinese (Taiwan)", {k: v[0] for k, v in CHINESE.items()}, "big5")
    section("Chinese (PRC)", {k: v[1] for k, v in CHINESE.items()}, "gbk")
    with open(os.path.join(ROOT, "support", "misc", "lang.ini"), "wb") as f:
        f.write(bytes(out))


if __name__ == "__main__":
    main()
