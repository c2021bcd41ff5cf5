// Writes PNG pictures of the update window (a status text and 42 %) and of
// the update-ready toast, as they paint themselves; works headless too.
//   quillup-screenshot OUTPUT_DIR  ->  update-window.png, toast.png
#include <cstdio>
#include <string>

#include "ui/notices.h"
#include "ui/updatedlg_view.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  COpFile op;  // no configuration: the built-in skin
  CUpdateDlgView dlg;
  if (!dlg.Create()) return 1;
  dlg.LoadSkin(op, u"");
  dlg.LayoutSkin();
  dlg.SetTextColor(op.GetStatusBarTextColor());
  dlg.SetStatusText(u"正在下载升级包 sp_1.0.0.2.zip ...");
  dlg.SetPercentText(u" 42%");
  plat::HBITMAP shot = dlg.PrintWindow();
  bool ok = shot && plat::SaveBitmapPng(shot, WideFromUtf8(dir + "/update-window.png"));
  plat::DeleteObject(shot);
  dlg.DestroyWindow();

  CTipDlg tip;
  if (!tip.Create()) return 1;
  shot = tip.PrintWindow();
  ok = ok && shot && plat::SaveBitmapPng(shot, WideFromUtf8(dir + "/toast.png"));
  plat::DeleteObject(shot);
  tip.DestroyWindow();
  if (ok) printf("%s/update-window.png\n%s/toast.png\n", dir.c_str(), dir.c_str());
  return ok ? 0 : 1;
}
