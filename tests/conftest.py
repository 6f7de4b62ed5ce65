"""Test setup: the module under test and a bounded hypothesis profile.

When KELVORA_MODULE_DIR is set, the module is imported from that build
directory instead of the installed package (for development builds).
"""
import os
import sys

from hypothesis import HealthCheck, settings

_module_dir = os.environ.get("KELVORA_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, os.path.abspath(_module_dir))

settings.register_profile(
    "default", max_examples=60, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile(
    "quick", max_examples=15, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile(os.environ.get("KELVORA_HYPOTHESIS_PROFILE", "default"))
