# formatting and record codec tests are added below
