import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes more than a few seconds; runs in CI all the same")


@pytest.fixture(scope="session")
def native():
    from vesquor import _native

    return _native


@pytest.fixture(scope="session")
def engine():
    """The test-only module that reaches the engine with arbitrary pattern tables."""
    import _vesquor_testing

    return _vesquor_testing
