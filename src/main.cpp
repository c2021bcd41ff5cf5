// Quillup: the automatic updater of the trading client.
#include "app/update_app.h"

int main(int argc, char** argv) {
  quillup::CUpdateApp app(argc, argv);
  app.InitInstance();
  return 0;
}
