// Texts of the message table. Rows keep their blanks and line feeds exactly:
// several are joined with other texts ("Check Data " + ..., " Setup", " End").
#include "console/message_table.h"

namespace console {

const char* const MessageTable[kMessageRows][kLanguageColumns] = {
    /* 0 */ {"Blank Check", "低格檢查", "低格检查"},
    /* 1 */ {"Scan Level", "掃描等級", "扫描等级"},
    /* 2 */ {"Page Skip", "跳頁", "跳页"},
    /* 3 */ {"Read Times", "讀取次數", "读取次数"},
    /* 4 */ {"Permit ECC", "允許ECC", "允许ECC"},
    /* 5 */ {"Apply", "套用", "应用"},
    /* 6 */ {"Cancel", "取消", "取消"},
    /* 7 */ {"Factory Setting", "出廠設定", "出厂设置"},
    /* 8 */ {"Flash Setting", "Flash設定", "Flash设置"},
    /* 9 */ {"Flash Module No", "Flash模組數", "Flash模组数"},
    /* 10 */ {"Bad block rate threshold", "要求低格\n當壞塊率大於", "要求低格\n当坏块率大于"},
    /* 11 */ {"Save", "儲存", "保存"},
    /* 12 */ {"Load", "載入", "载入"},
    /* 13 */ {"Device Setting", "裝置設定", "设备设置"},
    /* 14 */ {"Disk split", "磁碟分割", "磁盘分区"},
    /* 15 */ {"Normal", "普通磁碟", "普通磁盘"},
    /* 16 */ {"Encrypted disk", "加密磁碟", "加密磁盘"},
    /* 17 */ {"Hidden disk", "隱藏磁碟", "隐藏磁盘"},
    /* 18 */ {"Hidden or Encrypt Disk", "隱藏或加密磁碟", "隐藏或加密磁盘"},
    /* 19 */ {"Disk ratio", "磁碟比例", "磁盘比例"},
    /* 20 */ {"Hidden Files", "隱藏檔案", "隐藏文件"},
    /* 21 */ {"Add Files", "加入檔案", "添加文件"},
    /* 22 */ {"Add Dir", "加入資料夾", "添加文件夹"},
    /* 23 */ {"Remove", "移除", "移除"},
    /* 24 */ {"Disk Label", "磁碟標籤", "磁盘卷标"},
    /* 25 */ {"nonlegal mulitplier", "倍數不合法", "倍数不合法"},
    /* 26 */ {"Firmware file not found", "找不到固件檔(program.bin)", "找不到固件档(program.bin)"},
    /* 27 */ {"Warning", "警告", "警告"},
    /* 28 */ {"Skip page mode may couse flash unstable!", "跳頁模式可能導致Flash不穩定！", "跳页模式可能导致Flash不稳定！"},
    /* 29 */ {"Disk Size Error", "磁碟容量錯誤", "磁盘容量错误"},
    /* 30 */ {"Get BadRate Error", "取得壞塊率錯誤", "获取坏块率错误"},
    /* 31 */ {"Sec", "秒", "秒"},
    /* 32 */ {"Start Disk", "啟動磁碟", "启动磁盘"},
    /* 33 */ {"Write CFG", "寫入CFG", "写入CFG"},
    /* 34 */ {"Readback CFG", "讀回CFG", "读回CFG"},
    /* 35 */ {"Compare CFG", "比對CFG", "比较CFG"},
    /* 36 */ {" Setup", " 設定", " 设置"},
    /* 37 */ {" End", " 結束", " 结束"},
    /* 38 */ {"Check Disk", "檢查磁碟", "检查磁盘"},
    /* 39 */ {"Default", "預設", "默认"},
    /* 40 */ {"Read CFG", "讀取CFG", "读取CFG"},
    /* 41 */ {"Parse CFG", "解析CFG", "解析CFG"},
    /* 42 */ {"No Support the Flash Pls build Config table", "不支援此Flash，請建立配置表", "不支持此Flash，请建立配置表"},
    /* 43 */ {"Length of Filepath exceeds 128!", "檔案路徑長度超過128！", "文件路径长度超过128！"},
    /* 44 */ {"Too many bad block", "壞塊太多", "坏块太多"},
    /* 45 */ {"8 devices", "8台裝置", "8台设备"},
    /* 46 */ {"16 devices", "16台裝置", "16台设备"},
    /* 47 */ {"Cannot find", "找不到", "找不到"},
    /* 48 */ {"Capacity Rule", "容量規則", "容量规则"},
    /* 49 */ {"Allow Capacity Error", "允許容量誤差", "允许容量误差"},
    /* 50 */ {"Deal With unsatisfying", "容量不足時", "容量不足时"},
    /* 51 */ {"Degrade", "降級", "降级"},
    /* 52 */ {"Show Error", "顯示錯誤", "显示错误"},
    /* 53 */ {"Do not care", "不處理", "不处理"},
    /* 54 */ {"Bad Block no Exceed", "壞塊數不超過", "坏块数不超过"},
    /* 55 */ {"Valid Size too small", "有效容量太小", "有效容量太小"},
    /* 56 */ {"Special Scan", "特殊掃描", "特殊扫描"},
    /* 57 */ {"FSM init", "FSM初始化", "FSM初始化"},
    /* 58 */ {"Mode Detection", "模式偵測", "模式检测"},
    /* 59 */ {"Create config", "建立配置", "建立配置"},
    /* 60 */ {"Page mode error", "頁模式錯誤", "页模式错误"},
    /* 61 */ {"Invalid IMG file", "IMG檔無效", "IMG文件无效"},
    /* 62 */ {"Image File", "映像檔", "映像档"},
    /* 63 */ {"Manual add files", "手動加入檔案", "手动添加文件"},
    /* 64 */ {"Use Image File", "使用映像檔", "使用映像档"},
    /* 65 */ {"Image file not exists. Please reassign it.", "映像檔不存在，請重新指定！", "映像档不存在，请重新指定！"},
    /* 66 */ {"Map Image file", "對應映像檔", "对应映像档"},
    /* 67 */ {"Image Disk Size:", "映像磁碟容量:", "映像磁盘容量:"},
    /* 68 */ {"Create Image", "建立映像", "建立映像"},
    /* 69 */ {"Create", "建立", "建立"},
    /* 70 */ {"Success", "成功", "成功"},
    /* 71 */ {"Fail", "失敗", "失败"},
    /* 72 */ {"Init Image Disk", "初始化映像磁碟", "初始化映像磁盘"},
    /* 73 */ {"Image write file", "映像寫入檔案", "映像写入文件"},
    /* 74 */ {"Image output", "映像輸出", "映像输出"},
    /* 75 */ {"GetShortPath name fail!", "取得短路徑名稱失敗！", "获取短路径名失败！"},
    /* 76 */ {"Hidden disk too small!", "隱藏磁碟太小！", "隐藏磁盘太小！"},
    /* 77 */ {"IMG file error!", "IMG檔錯誤！", "IMG文件错误！"},
    /* 78 */ {"Hidden Files in Nor Flash", "Nor Flash隱藏檔案", "Nor Flash隐藏文件"},
    /* 79 */ {"SPI hidden files write ", "SPI隱藏檔案寫入 ", "SPI隐藏文件写入 "},
    /* 80 */ {"flash size error!", "Flash容量錯誤！", "Flash容量错误！"},
    /* 81 */ {"SPI read error!", "SPI讀取錯誤！", "SPI读取错误！"},
    /* 82 */ {"Nor Flash Setting", "Nor Flash設定", "Nor Flash设置"},
    /* 83 */ {"Save Flash Image", "儲存Flash映像", "保存Flash映像"},
    /* 84 */ {"Bad", "壞塊", "坏块"},
    /* 85 */ {"Fast Blanking Check", "快速低格", "快速低格"},
    /* 86 */ {"Fast Blanking Check cannot guarantee the stablity of data access.\n"
              "Still want to select this tiem?and must use good flash",
              "僅低格系統區不能保證資料區的穩定性！\n仍然要勾選此選項？且需使用正品",
              "仅低格系统区不能保证资料区的稳定性！\n仍然要勾选此选项？且需使用正品"},
    /* 87 */ {"SDK Ver and NAND Flash no match", "SDK版本與NAND Flash不符", "SDK版本与NAND Flash不符"},
    /* 88 */ {"Pls input Password", "請輸入密碼", "请输入密码"},
    /* 89 */ {"Password Setting", "密碼設定", "密码设置"},
    /* 90 */ {"Input", "輸入", "输入"},
    /* 91 */ {"Program write", "寫入程式", "写入程序"},
    /* 92 */ {"Check Data ", "檢查寫入程序是否符合", "检查写入程序是否符合"},
    /* 93 */ {"Check Data ", "檢查資料", "检查资料"},
    /* 94 */ {"Nor Read Check", "Nor讀取檢查", "Nor读取检查"},
    /* 95 */ {"Fix Usb IO", "固定USB埠", "固定USB口"},
    /* 96 */ {"Clear FLASH", "清除FLASH", "清除FLASH"},
    /* 97 */ {"Please insert the required fixed USB IO port", "請插入指定的固定USB埠", "请插入指定的固定USB口"},
    /* 98 */ {"Fix Usb IO Port", "固定USB埠", "固定USB口"},
};

namespace {

int Column(int languageIndex) { return languageIndex < 0 || languageIndex >= kLanguageColumns ? 0 : languageIndex; }

}  // namespace

const char* MessageText(int row, int languageIndex) {
  if (row < 0 || row >= kMessageRows) return "";
  return MessageTable[row][Column(languageIndex)];
}

const char* AnotherStationText(int languageIndex) {
  static const char* const text[kLanguageColumns] = {
      ("Another station is already running and holds the devices; this one closes.\n"
       "Program folder of the running station:"),
      "另一個量產工具已在執行並佔用裝置，本程式將關閉。\n執行中的量產工具的程式資料夾：",
      "另一个量产工具已在运行并占用设备，本程序将关闭。\n运行中的量产工具的程序文件夹：",
  };
  return text[Column(languageIndex)];
}

}  // namespace console
