# Homebrew formula for trail, built from its source archive with Apple's
# clang and CMake, linked against the system library only.
#
# tools/source_archive.sh makes trail-VERSION.tar.gz and writes its
# version and sha256 here; the archive is to be published at the url below.
class Trail < Formula
  desc "Follow a text file that another program is writing"
  homepage "https://trail.example/"
  url "https://trail.example/releases/trail-1.0.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"
  license "MIT"

  depends_on "cmake" => :build

  def install
    system "cmake", "-S", ".", "-B", "build", "-DBUILD_TESTING=OFF", *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    assert_match "trail #{version}", shell_output("#{bin}/trail --version")
    (testpath/"app.log").write "first line\nlast line\n"
    # trail follows until its reader goes away: head takes one line and
    # closes the pipe, and trail ends with code 0.
    assert_equal "last line\n", shell_output("#{bin}/trail -1 #{testpath}/app.log < /dev/null | head -n 1")
  end
end
