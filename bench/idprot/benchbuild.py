"""The Release build the identification benchmarks run."""
import os
import subprocess


def build(source, build_dir, targets):
    """Configures build_dir as a Release build without tests when it has no
    cache yet, and builds the targets in it."""
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DKV_BUILD_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", *targets], check=True, stdout=subprocess.DEVNULL)
