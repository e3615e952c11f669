"""pytest plugin for runs under valgrind: hypothesis with few examples and no
deadline, so the property tests stay inside a bounded time.

Loaded with `-p few_examples` (this folder on PYTHONPATH). The property
tests pick their profile by TESSELLON_HYPOTHESIS_PROFILE; this plugin
registers the "properties-few" profile that the scripts ask for.
"""

from hypothesis import HealthCheck, settings

FEW = dict(max_examples=10, derandomize=True, database=None, deadline=None,
           suppress_health_check=list(HealthCheck))
settings.register_profile("few", **FEW)
settings.register_profile("properties-few", **FEW)
settings.load_profile("few")
