import pytest


@pytest.fixture(scope="session")
def velkc():
    import velk._velkc

    return velk._velkc
