#include "support/echo_density.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The measure's two ends, from its definition: Gaussian noise has about
// erfc(1/sqrt 2) of its samples beyond one standard deviation (density 1);
// equal echoes every 100 samples put just those samples beyond it (density
// 0.01 / 0.3173).
TEST(EchoDensity, NoiseIsOneAndSparseEchoesAreFew) {
  const double rate = 44100.0;
  std::mt19937 random(5);
  std::normal_distribution<double> gauss;
  std::vector<double> noise(44100), sparse(44100, 0.0);
  for (double& v : noise) v = gauss(random);
  for (size_t i = 0; i < sparse.size(); i += 100) sparse[i] = i % 200 ? 1.0 : -1.0;

  auto noiseProfile = echoDensityProfile(noise, rate);
  auto sparseProfile = echoDensityProfile(sparse, rate);
  double noiseMean = 0.0, sparseMean = 0.0;
  size_t count = 0;
  for (size_t i = 441; i + 441 < noise.size(); ++i, ++count) {
    noiseMean += noiseProfile[i];
    sparseMean += sparseProfile[i];
  }
  EXPECT_NEAR(noiseMean / static_cast<double>(count), 1.0, 0.05);
  EXPECT_NEAR(sparseMean / static_cast<double>(count), 0.01 / 0.31731, 0.003);
  EXPECT_EQ(noiseProfile[0], 0.0) << "no full window at the edges";
  EXPECT_GT(echoDensityTime(noiseProfile, rate, 0.9), 0.0);
  EXPECT_LT(echoDensityTime(sparseProfile, rate, 0.9), 0.0) << "sparse echoes never reach 0.9";
}
