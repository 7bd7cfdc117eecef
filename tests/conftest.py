import os
import shutil
import sys
import warnings

import pytest

# Test files share the synthetic data set; importlib mode puts no test folder on the path.
sys.path.insert(0, os.path.dirname(__file__))

import synthetic  # noqa: E402


@pytest.fixture(autouse=True)
def keep_warning_filters():
    # The driver installs a process-wide "ignore" filter; no test may leak it.
    with warnings.catch_warnings():
        yield


@pytest.fixture
def make_credit_set(tmp_path):
    """``make_credit_set(**options)``: a fresh synthetic set under tmp_path."""
    counter = iter(range(1_000_000))

    def make(**options):
        return synthetic.make_credit_set(tmp_path / f"set{next(counter)}", **options)

    return make


@pytest.fixture
def credit_set(make_credit_set):
    return make_credit_set()


@pytest.fixture(scope="session")
def _training_set(tmp_path_factory):
    return synthetic.make_credit_set(tmp_path_factory.mktemp("training"))


@pytest.fixture(scope="session")
def xgb_model(_training_set):
    return synthetic.train_xgboost(_training_set)


@pytest.fixture(scope="session")
def rf_model(_training_set):
    return synthetic.train_random_forest(_training_set)


@pytest.fixture(scope="session")
def catboost_model(_training_set):
    return synthetic.train_catboost(_training_set)


@pytest.fixture(scope="session")
def spark():
    """One local Spark session for every test that runs SQL on Spark: starting one costs seconds."""
    pytest.importorskip("pyspark")
    if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
        pytest.fail("no Java for Spark: ./run test installs it")
    from pyspark.sql import SparkSession

    session = (
        SparkSession.builder.master("local[1]")
        .appName("tessaly-sql")
        .config("spark.driver.memory", "512m")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "1")
        .config("spark.sql.session.timeZone", "UTC")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()
