// flow_of_pair FIRST SECOND OUT.flo SEED: the flow between two image files, written as a .flo file.
#include <cstdlib>
#include <exception>
#include <iostream>

#include <opencv2/imgcodecs.hpp>

#include <morvi/morvi.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: " << argv[0] << " FIRST SECOND OUT.flo SEED" << std::endl;
    return 2;
  }
  try {
    morvi::Options options;
    options.seed = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    const cv::Mat flow = morvi::EstimateFlow(cv::imread(argv[1], cv::IMREAD_UNCHANGED),
                                             cv::imread(argv[2], cv::IMREAD_UNCHANGED), options);
    morvi::WriteFlowFile(argv[3], flow);
    std::cout << "morvi " << morvi::Version() << ": " << flow.cols << "x" << flow.rows << " flow written to "
              << argv[3] << std::endl;
  } catch (const std::exception& error) {
    std::cerr << error.what() << std::endl;
    return 1;
  }
  return 0;
}
