"""Wheel tags: a package folder that holds the orukiv library (copied there
by scripts/build-wheel) makes a platform wheel, tagged py3-none-<platform>
(the package loads the library with ctypes: any Python 3, no ABI); without
it the wheel is pure and finds the library at run time."""

import sysconfig
from pathlib import Path

from setuptools import Distribution, setup

LIBRARIES = ("liborukiv.so", "liborukiv.dylib", "orukiv.dll")
bundled = any((Path(__file__).parent / "orukiv" / name).exists() for name in LIBRARIES)
cmdclass = {}
distclass = Distribution

if bundled:

    class BinaryDistribution(Distribution):
        """Its files go to the platform's library folder."""

        def has_ext_modules(self) -> bool:
            return True

    distclass = BinaryDistribution
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):  # type: ignore[misc]
        def finalize_options(self) -> None:
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):  # type: ignore[no-untyped-def]
            platform = self.plat_name if self.plat_name_supplied else sysconfig.get_platform()
            return "py3", "none", platform.replace("-", "_").replace(".", "_")

    cmdclass["bdist_wheel"] = PlatformWheel

setup(cmdclass=cmdclass, distclass=distclass)
