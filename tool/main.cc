#include "tool/zem_dma_test.h"

int main(int argc, char** argv) {
  zem_dma_test::ZemDmaTest tool;
  return zem_dma_test::FlushOutput(tool.RunInstance(argc, argv));
}
