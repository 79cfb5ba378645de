int quor_framework_placeholder = 0;
